#!/usr/bin/env python3
"""Writes the pairs measure_against_bsdiff.sh compares, into DIR:
  binary.old/new  two builds of a program (given), each with its last 8 KiB
                  replaced by random bytes, as a new code signature would be;
  large.old/new   a multi-megabyte file with a few bytes changed and inserted;
  blocks.old/new  a file with blocks deleted and random blocks inserted.
usage: make_pairs.py DIR BUILD_OLD BUILD_NEW LARGE_FILE BLOCKS_FILE"""
import random
import sys

directory, build_old, build_new, large, blocks = sys.argv[1:6]
rng = random.Random(20240611)


def write(name, data):
    with open(f"{directory}/{name}", "wb") as f:
        f.write(data)


def signed(path):
    data = bytearray(open(path, "rb").read())
    data[-8192:] = rng.randbytes(8192)
    return bytes(data)


write("binary.old", signed(build_old))
write("binary.new", signed(build_new))

old = open(large, "rb").read()
new = bytearray(old)
for at in sorted(rng.sample(range(len(old)), 20)):
    new[at] ^= 0x5A
middle = len(new) // 2
new[middle:middle] = rng.randbytes(100)
write("large.old", old)
write("large.new", bytes(new))

old = open(blocks, "rb").read()
new = bytearray(old)
for _ in range(8):
    at = rng.randrange(len(new) - 8192)
    del new[at:at + rng.randrange(512, 8192)]
    at = rng.randrange(len(new))
    new[at:at] = rng.randbytes(rng.randrange(512, 8192))
write("blocks.old", old)
write("blocks.new", bytes(new))
