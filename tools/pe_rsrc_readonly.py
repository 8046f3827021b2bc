#!/usr/bin/env python3
"""Marks the resource section of a PE image read-only, in place.

GNU ld always gives .rsrc the write permission; the launcher's resources,
the payload among them, are never written, so the section loses it here as
the last step of linking. The image's checksum is kept valid when it has one.
"""
import struct
import sys

IMAGE_SCN_MEM_WRITE = 0x80000000


def pe_checksum(data, checksum_offset):
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    # The checksum field itself counts as zero.
    for k in (0, 2):
        (word,) = struct.unpack_from("<H", padded, checksum_offset + k)
        total -= word
        if total < 0:
            total += 0xFFFF
    total = (total & 0xFFFF) + (total >> 16)
    total = (total + (total >> 16)) & 0xFFFF
    return total + len(data)


def main(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE image")
    sections, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    table = optional + optional_size
    found = False
    for i in range(sections):
        header = table + 40 * i
        if data[header:header + 8].rstrip(b"\0") == b".rsrc":
            flags_at = header + 36
            (flags,) = struct.unpack_from("<I", data, flags_at)
            struct.pack_into("<I", data, flags_at, flags & ~IMAGE_SCN_MEM_WRITE)
            found = True
    if not found:
        sys.exit(f"{path}: no .rsrc section")
    checksum_offset = optional + 64
    (old_checksum,) = struct.unpack_from("<I", data, checksum_offset)
    if old_checksum:
        struct.pack_into("<I", data, checksum_offset, pe_checksum(bytes(data), checksum_offset))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: pe_rsrc_readonly.py IMAGE")
    main(sys.argv[1])
