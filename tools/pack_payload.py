#!/usr/bin/env python3
"""Packs files into a launcher payload archive in the shipped form.

Every file entry is deflated at maximum compression (general-purpose flags
0x0002), version needed 20, version made by 0x0B17, CRC-32 and sizes in both
headers and no data descriptor. The local header carries an extended
timestamp ("UT") extra field with flags 7 and the modification, access and
creation times; the central record carries the same field with flags 7 and
the modification time only. The MS-DOS date and time are local time, rounded
up to an even second. External attributes are 0x81800000 (a regular file
with mode 0600), with the MS-DOS archive bit 0x20 added where asked. There
are no comments, and entries keep the order and the names they are given.

Usage:
  pack_payload.py -o OUT [options] PATH[=NAME] ...   files in this order
  pack_payload.py -o OUT [options] --dir FOLDER      a whole folder

A file's default name is "/" followed by its base name. A folder gives its
files and subfolders, sorted, as "/sub/", "/sub/file" and so on, each folder
as a directory item ahead of what it holds.
"""
import argparse
import os
import struct
import sys
import time
import zlib

VERSION_MADE_BY = 0x0B17
VERSION_NEEDED = 20
FLAGS_MAX_COMPRESSION = 0x0002
METHOD_STORED = 0
METHOD_DEFLATED = 8
ATTR_FILE = 0x81800000     # Unix regular file, mode 0600
ATTR_DIRECTORY = 0x41ED0010  # Unix directory, mode 0755, MS-DOS directory bit
ATTR_ARCHIVE_BIT = 0x20


def dos_date_time(unix_time, utc_offset):
    """MS-DOS date and time of a Unix time seen at utc_offset, odd seconds rounded up."""
    t = unix_time + utc_offset
    if t % 2:
        t += 1
    tm = time.gmtime(t)
    year = max(tm.tm_year, 1980)
    date = ((year - 1980) << 9) | (tm.tm_mon << 5) | tm.tm_mday
    clock = (tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec // 2)
    return date, clock


def deflate(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
    return compressor.compress(data) + compressor.flush()


class Entry:
    def __init__(self, name, data, times, external, is_dir):
        self.name = name.encode("ascii") if name.isascii() else name.encode("mbcs" if os.name == "nt" else "cp1252")
        self.data = data
        self.mtime, self.atime, self.ctime = times
        self.external = external
        self.is_dir = is_dir


def write_archive(entries, utc_offset):
    out = bytearray()
    central = bytearray()
    for e in entries:
        method = METHOD_STORED if e.is_dir else METHOD_DEFLATED
        packed = e.data if e.is_dir else deflate(e.data)
        crc = zlib.crc32(e.data) & 0xFFFFFFFF
        date, clock = dos_date_time(e.mtime, utc_offset)
        local_extra = struct.pack("<2sHBiii", b"UT", 13, 7, e.mtime, e.atime, e.ctime)
        central_extra = struct.pack("<2sHBi", b"UT", 5, 7, e.mtime)
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, VERSION_NEEDED, FLAGS_MAX_COMPRESSION,
                           method, clock, date, crc, len(packed), len(e.data),
                           len(e.name), len(local_extra))
        out += e.name + local_extra + packed
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, VERSION_MADE_BY, VERSION_NEEDED,
                               FLAGS_MAX_COMPRESSION, method, clock, date, crc, len(packed),
                               len(e.data), len(e.name), len(central_extra), 0, 0, 0,
                               e.external, offset)
        central += e.name + central_extra
    directory_offset = len(out)
    out += central
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries),
                       len(central), directory_offset, 0)
    return bytes(out)


def file_times(path, fixed):
    if fixed is not None:
        return (fixed, fixed, fixed)
    st = os.stat(path)
    return (int(st.st_mtime), int(st.st_atime), int(st.st_ctime))


def entries_from_list(specs, fixed, archive_names):
    entries = []
    for spec in specs:
        path, _, name = spec.partition("=")
        if not name:
            name = "/" + os.path.basename(path)
        with open(path, "rb") as f:
            data = f.read()
        external = ATTR_FILE | (ATTR_ARCHIVE_BIT if name in archive_names else 0)
        entries.append(Entry(name, data, file_times(path, fixed), external, False))
    return entries


def entries_from_folder(folder, fixed, archive_names):
    entries = []

    def walk(rel):
        full = os.path.join(folder, rel) if rel else folder
        for item in sorted(os.listdir(full)):
            item_rel = os.path.join(rel, item) if rel else item
            item_full = os.path.join(folder, item_rel)
            name = "/" + item_rel.replace(os.sep, "/")
            if os.path.isdir(item_full):
                entries.append(Entry(name + "/", b"", file_times(item_full, fixed), ATTR_DIRECTORY, True))
                walk(item_rel)
            else:
                with open(item_full, "rb") as f:
                    data = f.read()
                external = ATTR_FILE | (ATTR_ARCHIVE_BIT if name in archive_names else 0)
                entries.append(Entry(name, data, file_times(item_full, fixed), external, False))

    walk("")
    return entries


def local_utc_offset():
    return -time.altzone if time.localtime().tm_isdst > 0 else -time.timezone


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-o", "--output", required=True, help="archive to write")
    parser.add_argument("--dir", help="pack this folder instead of a list of files")
    parser.add_argument("--time", type=int, help="use this Unix time for every time stamp (reproducible builds)")
    parser.add_argument("--utc-offset", type=int, help="seconds east of UTC for the MS-DOS times (default: this machine's)")
    parser.add_argument("--archive-bit", action="append", default=[], metavar="NAME",
                        help="give the entry NAME the MS-DOS archive bit (repeatable)")
    parser.add_argument("files", nargs="*", metavar="PATH[=NAME]")
    args = parser.parse_args(argv)
    if bool(args.dir) == bool(args.files):
        parser.error("give either --dir or a list of files")
    archive_names = set(args.archive_bit)
    if args.dir:
        entries = entries_from_folder(args.dir, args.time, archive_names)
    else:
        entries = entries_from_list(args.files, args.time, archive_names)
    offset = args.utc_offset if args.utc_offset is not None else local_utc_offset()
    data = write_archive(entries, offset)
    with open(args.output, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
