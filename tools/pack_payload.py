#!/usr/bin/env python3
"""Packs files into a launcher payload archive in the shipped form.

Every file entry is deflated at maximum compression (general-purpose flags
0x0002), version needed 20, version made by 0x0B17, CRC-32 and sizes in both
headers and no data descriptor. The local header carries an extended
timestamp ("UT") extra field with flags 7 and the modification, access and
creation times; the central record carries the same field with flags 7 and
the modification time only. The MS-DOS date and time are the modification
time in the payload's time zone (--utc-offset), rounded up to an even second.
External attributes are 0x81800000 (a regular file with mode 0600), with the
MS-DOS archive bit 0x20 added where asked. There are no comments, and entries
keep the order and the names they are given.

Usage:
  pack_payload.py -o OUT [options] PATH[=NAME] ...   files in this order
  pack_payload.py -o OUT [options] --list LISTFILE   the same, one a line
  pack_payload.py -o OUT [options] --dir FOLDER      a whole folder

A listed file's default name is "/" followed by its base name. A folder gives
its files and subfolders as "/file", "/sub/", "/sub/file" and so on, sorted
by name without regard to case at each level, each subfolder as a directory
item ahead of what it holds: the launcher creates folders only from directory
items.

Time stamps: --time T gives every entry the Unix time T (reproducible
builds). Without it each entry takes its file's modification time for all
three times: reading a file to pack it moves its access time, and a Unix
file system keeps no creation time.

Names are written as bytes in the ANSI code page of the Windows that unpacks
them. Only ASCII is the same in every code page, so other characters are
refused unless --name-encoding names the code page of the users' Windows
(for example cp936 for Chinese, PRC).
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
ATTR_FILE = 0x81800000       # Unix regular file, mode 0600
ATTR_DIRECTORY = 0x41ED0010  # Unix directory, mode 0755, MS-DOS directory bit
ATTR_ARCHIVE_BIT = 0x20
DOS_EPOCH = (0 << 9) | (1 << 5) | 1          # 1980-01-01 (years count from 1980)
DOS_LAST = ((2107 - 1980) << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29
LIMIT_32 = 0xFFFFFFFF


class PackError(Exception):
    pass


def dos_date_time(unix_time, utc_offset):
    """MS-DOS (date, time) of a Unix time seen at utc_offset, odd seconds
    rounded up; times outside 1980..2107 are pinned to the nearest end."""
    t = unix_time + utc_offset
    if t % 2:
        t += 1
    tm = time.gmtime(t)
    if tm.tm_year < 1980:
        return DOS_EPOCH, 0
    if tm.tm_year > 2107:
        return DOS_LAST
    date = ((tm.tm_year - 1980) << 9) | (tm.tm_mon << 5) | tm.tm_mday
    clock = (tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec // 2)
    return date, clock


def deflate(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
    return compressor.compress(data) + compressor.flush()


class Entry:
    def __init__(self, name, data, times, external, is_dir):
        self.name = name
        self.data = data
        self.mtime, self.atime, self.ctime = times
        self.external = external
        self.is_dir = is_dir


def encode_name(name, encoding):
    try:
        raw = name.encode(encoding)
    except (UnicodeEncodeError, LookupError) as e:
        hint = "" if encoding != "ascii" else " (see --name-encoding)"
        raise PackError(f'name "{name}" cannot be written in {encoding}{hint}: {e}')
    if len(raw) > 0xFFFF:
        raise PackError(f'name "{name}" is too long')
    return raw


def check_time(value, what):
    if not -0x80000000 <= value <= 0x7FFFFFFF:
        raise PackError(f"{what}: time {value} does not fit the 32-bit Unix times of the \"UT\" field")
    return value


def write_archive(entries, utc_offset, encoding="ascii"):
    out = bytearray()
    central = bytearray()
    for e in entries:
        name = encode_name(e.name, encoding)
        method = METHOD_STORED if e.is_dir else METHOD_DEFLATED
        flags = 0 if e.is_dir else FLAGS_MAX_COMPRESSION
        packed = e.data if e.is_dir else deflate(e.data)
        crc = zlib.crc32(e.data) & 0xFFFFFFFF
        date, clock = dos_date_time(e.mtime, utc_offset)
        times = [check_time(t, e.name) for t in (e.mtime, e.atime, e.ctime)]
        local_extra = struct.pack("<2sHBiii", b"UT", 13, 7, *times)
        central_extra = struct.pack("<2sHBi", b"UT", 5, 7, times[0])
        offset = len(out)
        if len(e.data) > LIMIT_32 or len(packed) > LIMIT_32 or offset > LIMIT_32:
            raise PackError(f'"{e.name}": beyond 4 GiB; the payload is read without ZIP64')
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, VERSION_NEEDED, flags,
                           method, clock, date, crc, len(packed), len(e.data),
                           len(name), len(local_extra))
        out += name + local_extra + packed
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, VERSION_MADE_BY, VERSION_NEEDED,
                               flags, method, clock, date, crc, len(packed),
                               len(e.data), len(name), len(central_extra), 0, 0, 0,
                               e.external, offset)
        central += name + central_extra
    if len(entries) > 0xFFFE or len(out) + len(central) > LIMIT_32:
        raise PackError("too many entries or too many bytes for an archive without ZIP64")
    directory_offset = len(out)
    out += central
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries),
                       len(central), directory_offset, 0)
    return bytes(out)


def file_times(path, fixed):
    if fixed is not None:
        return (fixed, fixed, fixed)
    mtime = int(os.stat(path).st_mtime)
    return (mtime, mtime, mtime)


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise PackError(str(e))


def entries_from_list(file_args, fixed, archive_names):
    entries = []
    for file_arg in file_args:
        path, _, name = file_arg.partition("=")
        if not name:
            name = "/" + os.path.basename(path)
        if not os.path.isfile(path):
            raise PackError(f"{path}: not a file")
        external = ATTR_FILE | (ATTR_ARCHIVE_BIT if name in archive_names else 0)
        entries.append(Entry(name, read_file(path), file_times(path, fixed), external, False))
    return entries


def entries_from_folder(folder, fixed, archive_names):
    if not os.path.isdir(folder):
        raise PackError(f"{folder}: not a folder")
    entries = []

    def walk(rel):
        full = os.path.join(folder, rel) if rel else folder
        for item in sorted(os.listdir(full), key=lambda n: (n.lower(), n)):
            item_rel = os.path.join(rel, item) if rel else item
            item_full = os.path.join(folder, item_rel)
            name = "/" + item_rel.replace(os.sep, "/")
            if os.path.isdir(item_full):
                entries.append(Entry(name + "/", b"", file_times(item_full, fixed), ATTR_DIRECTORY, True))
                walk(item_rel)
            elif os.path.isfile(item_full):
                external = ATTR_FILE | (ATTR_ARCHIVE_BIT if name in archive_names else 0)
                entries.append(Entry(name, read_file(item_full), file_times(item_full, fixed), external, False))
            else:
                raise PackError(f"{item_full}: neither a file nor a folder")

    walk("")
    return entries


def read_list(path):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\r\n") for line in f if line.strip() and not line.startswith("#")]


def local_utc_offset():
    return -time.altzone if time.localtime().tm_isdst > 0 else -time.timezone


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-o", "--output", required=True, help="archive to write")
    parser.add_argument("--dir", help="pack this folder instead of a list of files")
    parser.add_argument("--list", help="a text file of PATH[=NAME] lines (UTF-8; # starts a comment line)")
    parser.add_argument("--time", type=int, help="use this Unix time for every time stamp (reproducible builds)")
    parser.add_argument("--utc-offset", type=int,
                        help="seconds east of UTC for the MS-DOS times (default: this machine's)")
    parser.add_argument("--archive-bit", action="append", default=[], metavar="NAME",
                        help="give the entry NAME the MS-DOS archive bit (repeatable)")
    parser.add_argument("--name-encoding", default="ascii",
                        help="code page of the names (default: ascii, anything else is refused)")
    parser.add_argument("files", nargs="*", metavar="PATH[=NAME]")
    args = parser.parse_args(argv)
    if sum(map(bool, (args.dir, args.list, args.files))) != 1:
        parser.error("give one of --dir, --list or a list of files")
    archive_names = set(args.archive_bit)
    try:
        if args.dir:
            entries = entries_from_folder(args.dir, args.time, archive_names)
        else:
            file_args = read_list(args.list) if args.list else args.files
            entries = entries_from_list(file_args, args.time, archive_names)
        offset = args.utc_offset if args.utc_offset is not None else local_utc_offset()
        data = write_archive(entries, offset, args.name_encoding)
    except (PackError, OSError) as e:
        print(f"pack_payload: {e}", file=sys.stderr)
        return 1
    with open(args.output, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
