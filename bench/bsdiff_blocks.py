"""What bsdiff's patches take as LZMA: a patch's three bzip2 blocks
(control, diff, extra) decompressed and joined, then compressed as one .xz
stream, at level 6 (the only level Apple's encoder has) and at 9 extreme
(LZMA at its strongest, xz -9e). Joining the blocks of several patches
gives what a container compressed whole would hold."""
import bz2
import lzma
import struct


class NotAPatch(ValueError):
    pass


def signed(raw):
    """bsdiff's 64-bit integer: magnitude in the low 63 bits, sign on top."""
    value = struct.unpack("<Q", raw)[0]
    return -(value & ((1 << 63) - 1)) if value >> 63 else value


def blocks(path):
    """The patch's three blocks, decompressed and joined."""
    with open(path, "rb") as file:
        data = file.read()
    if data[:8] != b"BSDIFF40":
        raise NotAPatch(f"{path}: not a bsdiff patch")
    control, diff = signed(data[8:16]), signed(data[16:24])
    start = 32
    return b"".join(bz2.decompress(part) for part in (
        data[start:start + control], data[start + control:start + control + diff],
        data[start + control + diff:]))


def lzma_sizes(raw):
    """(level 6, level 9 extreme) sizes of the bytes as one .xz stream."""
    return (len(lzma.compress(raw, preset=6)),
            len(lzma.compress(raw, preset=9 | lzma.PRESET_EXTREME)))
