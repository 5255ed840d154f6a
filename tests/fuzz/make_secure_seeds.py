#!/usr/bin/env python3
"""Builds the seed corpus of the secured-channel fuzz target from the stream corpus.

Usage: make_secure_seeds.py tests/fuzz/corpus
Each stream seed's MSG chunk payloads (after channel id, token id and sequence header) become the
records of one secure seed: [length LE16][flags 0 final / 2 intermediate][payload], behind a
first byte that picks the policy and mode (cycled over the six pairs).
"""
import hashlib
import os
import struct
import sys

SELECTORS = [0x00, 0x01, 0x02, 0x80, 0x81, 0x82]


def records(stream):
    out = b""
    p = 0
    while p + 8 <= len(stream):
        kind = stream[p:p + 3]
        chunk = stream[p + 3:p + 4]
        size = struct.unpack_from("<I", stream, p + 4)[0]
        if size < 8 or p + size > len(stream):
            break
        if kind == b"MSG" and size >= 24:
            payload = stream[p + 24:p + size]
            if len(payload) < 65536:
                out += struct.pack("<HB", len(payload), 2 if chunk == b"C" else 0) + payload
        p += size
    return out


def main():
    root = sys.argv[1]
    src = os.path.join(root, "stream")
    dst = os.path.join(root, "secure")
    os.makedirs(dst, exist_ok=True)
    for f in os.listdir(dst):
        os.remove(os.path.join(dst, f))
    seen = set()
    for i, name in enumerate(sorted(os.listdir(src))):
        with open(os.path.join(src, name), "rb") as fh:
            recs = records(fh.read())
        if not recs or recs in seen:
            continue
        seen.add(recs)
        data = bytes([SELECTORS[len(seen) % len(SELECTORS)]]) + recs
        with open(os.path.join(dst, hashlib.sha1(data).hexdigest()), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
