#!/usr/bin/env python3
"""Writes sample release snapshots for the demo: one directory per version.

Usage: make_releases.py OUTDIR FIRST LAST

Version k is a full snapshot of a patcher directory. The content is generated
deterministically (same bytes on every machine): nested directories, a
non-ASCII name, a name with a space, text and binary data, a file that one
version deletes, and one large file that changes in every version so that an
interrupted download has something to resume.
"""
import os
import random
import sys


def blob(seed: int, size: int) -> bytes:
    rng = random.Random(seed)
    # Half compressible text, half noise: roughly what a game patcher ships.
    words = [b"quill", b"mere", b"patch", b"level", b"shader", b"sound", b"\n"]
    out = bytearray()
    while len(out) < size // 2:
        out += rng.choice(words) + b" "
    out += rng.randbytes(size - len(out))
    return bytes(out[:size])


def snapshot(version: int) -> dict:
    files = {
        "game.cfg": f"version={version}\nchannel=demo\n".encode(),
        "data/readme.txt": b"Quillmere demo data.\n" * 40,
        "data/levels/level1.dat": blob(11, 300_000),
        "data/levels/level2.dat": blob(12 + (version >= 2), 450_000),
        "data/sounds/ambient theme.ogg": blob(21, 700_000),
        "data/\u5b57\u4f53/\u5b8b\u4f53-\u9884\u89c8.txt": "\u4f60\u597d\uff0c\u4e16\u754c\n".encode() * 50,
        "bin/engine.dll": blob(31 + version, 1_200_000),
        "bin/big-pack.bin": blob(41 + version, 3_000_000),
    }
    if version == 1:
        files["data/old/legacy.txt"] = b"removed in version 2\n" * 10
    if version >= 3:
        files["data/levels/level3.dat"] = blob(13, 250_000)
    return files


def main() -> int:
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    out, first, last = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    for version in range(first, last + 1):
        root = os.path.join(out, str(version))
        for rel, data in snapshot(version).items():
            path = os.path.join(root, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
