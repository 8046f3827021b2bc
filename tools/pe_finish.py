#!/usr/bin/env python3
"""Finishes the linked launcher image, in place: its resource section
becomes read-only and its data starts on a page boundary of the file.

GNU ld always gives .rsrc the write permission; the launcher's resources,
the payload among them, are never written, so the section loses it here.

The payload is read in place from the resource section. A loader can map a
section straight from the file only when the section's data starts at a
page-aligned file offset; Wine otherwise reads the whole section into
private memory before the program starts, which for the payload costs its
full size in memory and a copy. The default file alignment is 512 bytes,
so the file is padded in front of .rsrc to the next 4 KiB boundary and the
raw data pointers of .rsrc and of every section behind it move along.
Nothing else in an unsigned, stripped image refers to file offsets; the
image is signed, if at all, after this step.

The image's checksum is kept valid when it has one.
"""
import struct
import sys

IMAGE_SCN_MEM_WRITE = 0x80000000
PAGE = 4096


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


def section_headers(data, path):
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE image")
    (count,) = struct.unpack_from("<H", data, pe + 6)
    (optional_size,) = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    table = optional + optional_size
    return optional, [table + 40 * i for i in range(count)]


def main(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    optional, headers = section_headers(data, path)
    (magic,) = struct.unpack_from("<H", data, optional)
    directories = optional + (96 if magic == 0x10B else 112)
    (certificates,) = struct.unpack_from("<I", data, directories + 4 * 8)
    if certificates:
        sys.exit(f"{path}: already signed; finish the image before signing it")
    rsrc = [h for h in headers if data[h:h + 8].rstrip(b"\0") == b".rsrc"]
    if not rsrc:
        sys.exit(f"{path}: no .rsrc section")
    header = rsrc[0]

    (flags,) = struct.unpack_from("<I", data, header + 36)
    struct.pack_into("<I", data, header + 36, flags & ~IMAGE_SCN_MEM_WRITE)

    (start,) = struct.unpack_from("<I", data, header + 20)  # PointerToRawData
    pad = -start % PAGE
    if pad:
        for h in headers:
            (raw,) = struct.unpack_from("<I", data, h + 20)
            if raw >= start:
                struct.pack_into("<I", data, h + 20, raw + pad)
        data[start:start] = bytes(pad)

    checksum_offset = optional + 64
    (old_checksum,) = struct.unpack_from("<I", data, checksum_offset)
    if old_checksum:
        struct.pack_into("<I", data, checksum_offset, pe_checksum(bytes(data), checksum_offset))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: pe_finish.py IMAGE")
    main(sys.argv[1])
