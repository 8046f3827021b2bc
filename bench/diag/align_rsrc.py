#!/usr/bin/env python3
"""Diagnosis only: a copy of a launcher whose resource section starts on a
page boundary of the file.

Wine maps a section of an image from its file only when the section's raw
data starts at a page-aligned file offset; otherwise it reads the whole
section into private memory when the image loads. The build already moves
the launcher's .rsrc (the payload) to a 4 KiB boundary (tools/pe_finish.py),
so for a launcher from this build the copy is the same image; the script
stays for images linked with the default file alignment of 512 bytes, as
the benchmark's earlier runs were. It pads the file in front of .rsrc to
the next 4 KiB boundary and moves the raw data pointers of .rsrc and every
section behind it; nothing else in an unsigned image refers to file
offsets. The benchmark times both, to show what the alignment costs and
saves.

Usage: align_rsrc.py IN.exe OUT.exe
"""
import struct
import sys

PAGE = 4096


def main(source, target):
    with open(source, "rb") as f:
        image = bytearray(f.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional = struct.unpack_from("<H", image, pe + 20)[0]
    security = struct.unpack_from("<II", image, pe + 24 + (96 if optional == 224 else 112) + 4 * 8)
    if security[0]:
        sys.exit("align_rsrc: a signed image cannot be moved")
    table = pe + 24 + optional
    headers = [table + 40 * i for i in range(count)]
    rsrc = next(h for h in headers if image[h:h + 8].rstrip(b"\0") == b".rsrc")
    start = struct.unpack_from("<I", image, rsrc + 20)[0]  # PointerToRawData
    pad = -start % PAGE
    for h in headers:
        raw = struct.unpack_from("<I", image, h + 20)[0]
        if raw >= start:
            struct.pack_into("<I", image, h + 20, raw + pad)
    image[start:start] = bytes(pad)
    with open(target, "wb") as f:
        f.write(image)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
