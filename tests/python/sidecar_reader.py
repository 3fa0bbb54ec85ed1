"""Reads a sidecar with the standard JSON parser, as an independent check of the writer."""

import json


def read_sidecar(path):
    with open(path, "rb") as f:
        raw = f.read()
    assert not raw.endswith(b"\n"), "the sidecar is one line without a trailing newline"
    return json.loads(raw.decode("utf-8"))
