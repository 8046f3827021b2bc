#!/usr/bin/env python3
"""Writes the Python zipfile archive that tools_test reads: make_python_zip.py OUTPUT

Python's zipfile writes no extended-timestamp fields, so the item times come
from the MS-DOS date and time alone. The contents are recomputed by the test.
"""
import sys
import zipfile


def entry(name, date_time, method, mode, dos_attributes=0):
    info = zipfile.ZipInfo(name, date_time=date_time)
    info.compress_type = method
    info.external_attr = (mode << 16) | dos_attributes
    info.create_system = 3  # Unix
    return info


def main():
    with zipfile.ZipFile(sys.argv[1], "w") as z:
        z.writestr(entry("stored.txt", (2018, 8, 6, 14, 22, 46), zipfile.ZIP_STORED, 0o100644),
                   b"stored by python\n")
        z.writestr(entry("deflated.txt", (2001, 2, 3, 4, 5, 6), zipfile.ZIP_DEFLATED, 0o100444),
                   b"0123456789abcdef" * 256)
        z.writestr(entry("folder/", (2010, 1, 1, 0, 0, 0), zipfile.ZIP_STORED, 0o040755, 0x10), b"")
        z.writestr(entry("folder/inner.bin", (2018, 8, 6, 14, 22, 46), zipfile.ZIP_DEFLATED, 0o100600),
                   bytes(range(256)) * 4)


if __name__ == "__main__":
    main()
