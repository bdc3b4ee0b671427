#!/usr/bin/env python3
"""What bsdiff's patches take as LZMA: each patch's three bzip2 blocks
(control, diff, extra) decompressed and joined, then compressed as one .xz
stream, at level 6 (the only level Apple's encoder has) and at 9 extreme
(LZMA at its strongest, xz -9e). With --joined, all the patches' blocks as
one stream, as a container compressed whole would hold them.

usage: bsdiff_blocks.py [--joined] PATCH...
prints, a line per patch (or one line): LEVEL6_BYTES LEVEL9E_BYTES PATCH"""
import bz2
import lzma
import struct
import sys


def signed(raw):
    value = struct.unpack("<Q", raw)[0]
    return -(value & ((1 << 63) - 1)) if value >> 63 else value


def blocks(path):
    data = open(path, "rb").read()
    if data[:8] != b"BSDIFF40":
        sys.exit(f"{path}: not a bsdiff patch")
    control, diff = signed(data[8:16]), signed(data[16:24])
    start = 32
    return b"".join(bz2.decompress(part) for part in (
        data[start:start + control], data[start + control:start + control + diff],
        data[start + control + diff:]))


def sizes(raw):
    return (len(lzma.compress(raw, preset=6)),
            len(lzma.compress(raw, preset=9 | lzma.PRESET_EXTREME)))


args = sys.argv[1:]
if args and args[0] == "--joined":
    level6, level9e = sizes(b"".join(blocks(path) for path in args[1:]))
    print(level6, level9e, "joined")
else:
    for path in args:
        level6, level9e = sizes(blocks(path))
        print(level6, level9e, path)
