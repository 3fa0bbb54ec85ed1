"""Hand-made data files and sidecars, written from the byte table without the writer."""

import struct

NO_OFFSET = 2**64 - 1


def data_file(codes, sigs, offsets, trait_count, bit_width, vector_dim, extra=b""):
    """codes[r][t], sigs[r] (bytes of ceil(D/8)), offsets[r] -> the file bytes."""
    n = len(codes)
    header = b"KRVX" + struct.pack("<HQHHB", 1, n, trait_count, vector_dim, bit_width)
    header += bytes(64 - len(header))
    planes = bytearray()
    for b in range((n + 63) // 64):
        words = [0] * (trait_count * bit_width)
        for j in range(min(64, n - 64 * b)):
            for t in range(trait_count):
                for k in range(bit_width):
                    if (codes[64 * b + j][t] >> k) & 1:
                        words[t * bit_width + k] |= 1 << j
        planes += struct.pack("<%dQ" % len(words), *words)
    body = bytes(planes) + b"".join(sigs) + b"".join(struct.pack("<Q", o) for o in offsets)
    return header + body + extra


def sidecar(schema, dicts, doc_ids):
    def q(s):
        return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'

    ds = ",".join("{" + ",".join("%s:%d" % (q(k), v) for k, v in d.items()) + "}" for d in dicts)
    return ('{"schema":[%s],"dicts":[%s],"doc_ids":[%s]}' % (
        ",".join(q(s) for s in schema), ds, ",".join(str(i) for i in doc_ids))).encode()


def write_index(path, data, meta):
    with open(path, "wb") as f:
        f.write(data)
    if meta is not None:
        with open(path + ".meta", "wb") as f:
            f.write(meta)
