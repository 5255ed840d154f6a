#!/usr/bin/env python3
"""Builds the fuzz seed corpora from recorded sessions of the interoperability test.

Record:  tests/integration/ua/client/run.sh <ua_test_host> interop.test.js --record DIR
Extract: extract_seeds.py DIR tests/fuzz/corpus
stream/:  prefixes of each recorded connection, cut at chunk boundaries
decoder/: each request body after its request header, behind its service selector byte
"""
import hashlib
import os
import struct
import sys

SERVICES = [428, 422, 461, 467, 473, 479, 527, 533, 554, 560, 566, 631, 673, 787, 793, 799, 847,
            751, 763, 769, 781, 826, 832, 712]
FIRST_SERVICE_SELECTOR = 8


def node_id(b, p):
    kind = b[p] & 0x3F
    flags = b[p]
    p += 1
    if kind == 0:
        value, p = b[p], p + 1
    elif kind == 1:
        value, p = struct.unpack_from("<H", b, p + 1)[0], p + 3
    elif kind == 2:
        value, p = struct.unpack_from("<I", b, p + 2)[0], p + 6
    elif kind in (3, 5):
        n = struct.unpack_from("<i", b, p + 2)[0]
        value, p = None, p + 6 + max(n, 0)
    elif kind == 4:
        value, p = None, p + 18
    else:
        raise ValueError("bad NodeId")
    if flags & 0x80:
        n = struct.unpack_from("<i", b, p)[0]
        p += 4 + max(n, 0)
    if flags & 0x40:
        p += 4
    return value, p


def skip_request_header(b, p):
    _, p = node_id(b, p)           # authentication token
    p += 8 + 4 + 4                 # timestamp, handle, diagnostics
    n = struct.unpack_from("<i", b, p)[0]
    p += 4 + max(n, 0)             # audit entry id
    p += 4                         # timeout hint
    _, p = node_id(b, p)           # additional header
    enc = b[p]
    p += 1
    if enc:
        n = struct.unpack_from("<i", b, p)[0]
        p += 4 + max(n, 0)
    return p


def write(directory, data):
    os.makedirs(directory, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    src, out = sys.argv[1], sys.argv[2]
    for fname in sorted(os.listdir(src)):
        data = open(os.path.join(src, fname), "rb").read()
        cuts, p = [], 0
        while p + 8 <= len(data):
            size = struct.unpack_from("<I", data, p + 4)[0]
            if size < 8 or p + size > len(data):
                break
            chunk = data[p:p + size]
            if chunk[:3] == b"MSG" and chunk[3:4] == b"F":
                body = chunk[24:]
                try:
                    type_id, q = node_id(body, 0)
                    q = skip_request_header(body, q)
                    if type_id in SERVICES:
                        sel = FIRST_SERVICE_SELECTOR + SERVICES.index(type_id)
                        write(os.path.join(out, "decoder"), bytes([sel]) + body[q:])
                except (ValueError, struct.error, IndexError):
                    pass
            p += size
            cuts.append(p)
        for k in (1, 2, 4, 6, 8, 12, 16, 24, 32, 48, 64):
            if k <= len(cuts):
                write(os.path.join(out, "stream"), data[:cuts[k - 1]])
        if cuts and len(data) <= 65536:
            write(os.path.join(out, "stream"), data[:cuts[-1]])


if __name__ == "__main__":
    main()
