"""Reads a sidecar with the standard JSON parser, as an independent check of the writer."""

import json


def read_sidecar(path):
    with open(path, "rb") as f:
        raw = f.read()
    assert not raw.endswith(b"\n") and b" " not in raw.replace(b'" "', b"")[:0]
    return json.loads(raw.decode("utf-8"))
