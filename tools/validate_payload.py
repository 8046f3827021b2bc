#!/usr/bin/env python3
"""Checks that a ZIP archive can serve as the launcher's payload.

The launcher unpacks its payload on the user's machine with its own small
archive reader and no way to report a problem to anyone, so every payload is
checked here, on the build machine, before it is embedded. A refused payload
fails the build with one line per problem, naming the entry and the rule:

  not-zip                 no end of central directory record at all
  multi-disk              a split archive (disk numbers, record counts)
  zip64                   ZIP64 records or fields
  prefix                  bytes before the first local header
  trailing-bytes          bytes after the end record and its comment
  comment-too-long        the reader looks for the end record only within
                          the last 65,535 bytes
  unreadable              the reader would take another end record, the
                          directory does not end where the end record starts,
                          or the central directory cannot be walked
  method                  a compression method other than stored (0) or
                          deflated (8)
  encrypted               general-purpose bit 0 (the reader cannot decrypt)
  header-mismatch         a local header that disagrees with its central
                          record (signature, method, name, CRC-32 or sizes
                          unless bit 3 is set)
  bad-data                entry data outside the archive, or data that does
                          not decode to the stated size and CRC-32
  bad-name                an empty name or a character Windows refuses in
                          file names
  device-name             a component that Windows opens as a device instead
                          of a file (CON, PRN, AUX, NUL, COM0-9, LPT0-9,
                          CONIN$, CONOUT$, with any extension)
  unsafe-name             a ".." component (also "..." or ". .", which
                          Windows reads the same) or a ":"
  name-too-long           install directory + name over 259 characters, for
                          an install directory of up to --install-dir-length
                          characters (default 200)
  directory-attributes    a name ending in a separator that the external
                          attributes do not mark as a directory
  missing-directory       a file inside a subdirectory without a directory
                          item for that subdirectory earlier in the archive
  duplicate-name          two items that name the same file on Windows
  no-launcher             no top-level file item "dw_dlr.exe"

Usage: validate_payload.py PAYLOAD.zip --path-size N --install-suffix S
                           --downloader NAME [--install-dir-length N] [--copy-to OUT]

The build passes the path size, the install suffix and the downloader's
name from the launcher's own definitions (res/launcher_facts.h).

With --copy-to the payload is copied to OUT once it has passed (and OUT is
removed when it has not), so the build embeds exactly the archive it checked.
Exit status 0 when the payload passes, 1 when it is refused, 2 on usage errors.
"""
import argparse
import os
import shutil
import struct
import sys
import zlib

LOCAL_SIG = 0x04034B50
CENTRAL_SIG = 0x02014B50
END_SIG = b"PK\x05\x06"
ZIP64_LOCATOR_SIG = b"PK\x06\x07"
END_SIZE = 22
# The reader searches for the end record within this many bytes from the end.
END_SEARCH_REACH = 0xFFFF
DEFAULT_INSTALL_DIR_LENGTH = 200
FORBIDDEN_NAME_BYTES = set(b'<>"|?*') | set(range(32))
DIRECTORY_BITS = 0x40000010  # Unix directory type or MS-DOS directory bit
# Names Windows takes for devices in any folder and with any extension.
DEVICE_NAMES = ({b"con", b"prn", b"aux", b"nul", b"conin$", b"conout$"}
                | {b"com%d" % n for n in range(10)} | {b"lpt%d" % n for n in range(10)})


class Facts:
    """What the launcher fixes: its path buffers (terminator included, which
    is also the reader's item name buffer), the install suffix and the item
    it starts."""

    def __init__(self, path_size, install_suffix, downloader):
        self.path_size = path_size
        self.path_limit = path_size - 1  # characters of a path, terminator excluded
        self.install_suffix = install_suffix
        self.downloader = downloader.encode("ascii")


class Refused(Exception):
    """A problem that ends the check: nothing after it can be trusted."""


class Problem:
    def __init__(self, rule, text, index=None, name=None):
        self.rule, self.text, self.index, self.name = rule, text, index, name

    def __str__(self):
        where = ""
        if self.index is not None:
            shown = self.name.decode("latin-1") if self.name is not None else "?"
            where = f'entry {self.index} "{shown}": '
        return f"{where}{self.text} [rule {self.rule}]"


class Entry:
    pass


def loader_end_search(data):
    """Where the launcher's reader finds the end record: the occurrence of
    the signature nearest the end that starts within the last 65,535 bytes,
    never at offset 0; None when there is none."""
    size = len(data)
    reach = min(size, END_SEARCH_REACH)
    if reach <= 4:
        return None
    start = max(size - reach, 1)
    found = data.rfind(END_SIG, start, size)
    return found if found >= 0 else None


def read_end_record(data):
    size = len(data)
    if size < END_SIZE:
        raise Refused(Problem("not-zip", f"{size} bytes are too few for a ZIP archive"))
    # The true end record is the one whose comment ends at the last byte.
    for pos in range(size - END_SIZE, max(-1, size - END_SIZE - 0xFFFF - 1), -1):
        if data[pos:pos + 4] == END_SIG:
            (comment_length,) = struct.unpack_from("<H", data, pos + 20)
            if pos + END_SIZE + comment_length == size:
                return pos
    if data.rfind(END_SIG) >= 0:
        raise Refused(Problem("trailing-bytes",
                              "bytes follow the end of central directory record and its comment"))
    raise Refused(Problem("not-zip", "no end of central directory record"))


def check_structure(data, problems):
    """The end record and the central directory; returns the entries."""
    end = read_end_record(data)
    (_, this_disk, directory_disk, on_disk, total, directory_size, directory_offset,
     comment_length) = struct.unpack_from("<IHHHHIIH", data, end)

    if this_disk != 0 or directory_disk != 0 or on_disk != total:
        raise Refused(Problem("multi-disk", f"disk {this_disk}, directory on disk {directory_disk}, "
                                            f"{on_disk} of {total} records on this disk: "
                                            "only single-disk archives are read"))
    if (0xFFFF in (on_disk, total) or 0xFFFFFFFF in (directory_size, directory_offset)
            or (end >= 20 and data[end - 20:end - 16] == ZIP64_LOCATOR_SIG)):
        raise Refused(Problem("zip64", "ZIP64 end records are not read"))

    found = loader_end_search(data)
    if found != end:
        if comment_length > END_SEARCH_REACH - END_SIZE:
            raise Refused(Problem("comment-too-long",
                                  f"an archive comment of {comment_length} bytes hides the end record "
                                  f"(at most {END_SEARCH_REACH - END_SIZE})"))
        if end == 0:
            raise Refused(Problem("unreadable", "an end record at offset 0 (an archive with nothing "
                                                "before it) is never found"))
        raise Refused(Problem("unreadable", f"the end record signature occurs again at byte {found}; "
                                            "the reader would take that one"))

    if directory_offset + directory_size > end:
        raise Refused(Problem("unreadable", "the central directory runs into the end record"))
    before = end - directory_offset - directory_size
    if before and data[:4] == struct.pack("<I", LOCAL_SIG):
        raise Refused(Problem("unreadable", f"the central directory's offset and size end {before} bytes "
                                            "before the end record"))
    if before:
        raise Refused(Problem("prefix", f"{before} bytes stand before the archive; the first local "
                                        "header must be at byte 0"))
    if on_disk and data[:4] != struct.pack("<I", LOCAL_SIG):
        raise Refused(Problem("prefix", "the archive does not start with a local header"))

    entries = []
    pos = directory_offset
    for index in range(on_disk):
        if pos + 46 > end or struct.unpack_from("<I", data, pos)[0] != CENTRAL_SIG:
            raise Refused(Problem("unreadable", f"central record {index} is missing or damaged"))
        e = Entry()
        e.index = index
        (_, e.made_by, e.needed, e.flags, e.method, e.dos_time, e.dos_date, e.crc, e.compressed,
         e.uncompressed, name_length, extra_length, entry_comment_length, _, _, e.external,
         e.local_offset) = struct.unpack_from("<IHHHHHHIIIHHHHHII", data, pos)
        e.name = data[pos + 46:pos + 46 + name_length]
        e.extra = data[pos + 46 + name_length:pos + 46 + name_length + extra_length]
        pos += 46 + name_length + extra_length + entry_comment_length
        if pos > end:
            raise Refused(Problem("unreadable", "the central record runs into the end record", index, e.name))
        entries.append(e)
    if pos != end:
        raise Refused(Problem("unreadable", f"the central directory holds {pos - directory_offset} bytes "
                                            f"of records but declares {directory_size}"))
    return entries, directory_offset


def extra_ids(extra):
    pos = 0
    while pos + 4 <= len(extra):
        ident, length = struct.unpack_from("<HH", extra, pos)
        yield ident
        pos += 4 + length


def check_entry_data(data, e, directory_offset, problems):
    def refuse(rule, text):
        problems.append(Problem(rule, text, e.index, e.name))

    if e.flags & 1:
        refuse("encrypted", "encrypted (general-purpose bit 0)")
    if e.method not in (0, 8):
        refuse("method", f"compression method {e.method} (only 0 stored and 8 deflated are read)")
    if 0xFFFFFFFF in (e.compressed, e.uncompressed, e.local_offset) or 0x0001 in extra_ids(e.extra):
        refuse("zip64", "ZIP64 sizes or offset")
    if problems and problems[-1].index == e.index:
        return

    at = e.local_offset
    if at + 30 > directory_offset or struct.unpack_from("<I", data, at)[0] != LOCAL_SIG:
        refuse("header-mismatch", f"no local header at offset {at}")
        return
    (_, _, local_flags, local_method, _, _, local_crc, local_compressed, local_uncompressed,
     local_name_length, local_extra_length) = struct.unpack_from("<IHHHHHIIIHH", data, at)
    local_name = data[at + 30:at + 30 + local_name_length]
    differences = []
    if local_method != e.method:
        differences.append(f"method {local_method} vs {e.method}")
    if local_name != e.name:
        differences.append("name")
    if not local_flags & 8:
        for label, local, central in (("CRC-32", local_crc, e.crc),
                                      ("compressed size", local_compressed, e.compressed),
                                      ("uncompressed size", local_uncompressed, e.uncompressed)):
            if local != central:
                differences.append(f"{label} {local:#x} vs {central:#x}")
    if differences:
        refuse("header-mismatch", "local header disagrees with the central record: " + ", ".join(differences))
        return

    start = at + 30 + local_name_length + local_extra_length
    if start + e.compressed > directory_offset:
        refuse("bad-data", "entry data runs past the start of the central directory")
        return
    packed = data[start:start + e.compressed]
    if e.method == 0:
        plain = packed
    else:
        inflater = zlib.decompressobj(-15)
        try:
            plain = inflater.decompress(packed, e.uncompressed + 1)
        except zlib.error as error:
            refuse("bad-data", f"deflate data is damaged ({error})")
            return
        if not inflater.eof:
            refuse("bad-data", "deflate data ends before its last block")
            return
    if len(plain) != e.uncompressed:
        refuse("bad-data", f"data decodes to {len(plain)} bytes, not {e.uncompressed}")
    elif zlib.crc32(plain) & 0xFFFFFFFF != e.crc:
        refuse("bad-data", "CRC-32 of the data does not match")


def components(name):
    """The name's path components as Windows resolves them: either separator,
    empty components dropped, trailing dots and blanks dropped, case folded."""
    parts = name.replace(b"\\", b"/").split(b"/")
    return tuple(p.rstrip(b". ").lower() for p in parts if p)


def climbs(name):
    for part in name.replace(b"\\", b"/").split(b"/"):
        if part.count(b".") >= 2 and not part.strip(b". "):
            return True
    return False


def names_device(name):
    """A component whose base name (before the first dot, trailing dots and
    blanks dropped) is a device name: its data would go to the device."""
    for part in name.replace(b"\\", b"/").split(b"/"):
        if part.split(b".")[0].rstrip(b". ").lower() in DEVICE_NAMES:
            return True
    return False


def check_names(entries, facts, install_dir_length, problems, warnings):
    seen = {}
    directories = set()
    launcher = False
    name_limit = facts.path_limit - install_dir_length
    for e in entries:
        def refuse(rule, text):
            problems.append(Problem(rule, text, e.index, e.name))

        is_directory = bool(e.external & DIRECTORY_BITS)
        parts = components(e.name)
        if not parts:
            refuse("bad-name", "the name is empty")
            continue
        if climbs(e.name) or b":" in e.name:
            refuse("unsafe-name", 'a ".." component or a ":" would reach outside the install directory')
            continue
        if names_device(e.name):
            refuse("device-name", "Windows opens this name as a device, not a file")
            continue
        bad = sorted(set(e.name) & FORBIDDEN_NAME_BYTES)
        if bad:
            refuse("bad-name", "characters Windows refuses in file names: " + " ".join(f"{b:#04x}" for b in bad))
            continue
        if len(e.name) >= facts.path_size or len(e.name) > name_limit:
            refuse("name-too-long", f"{len(e.name)} characters; with an install directory of up to "
                                    f"{install_dir_length} characters a name may have {name_limit}")
        if any(b > 0x7F for b in e.name):
            warnings.append(Problem("non-ascii-name", "bytes above 0x7F are read in the ANSI code page "
                                                      "of the user's Windows", e.index, e.name))
        if e.name[-1:] in (b"/", b"\\") and not is_directory:
            refuse("directory-attributes", "the name ends in a separator but the external attributes "
                                           f"{e.external:#010x} do not mark a directory")
        if parts in seen:
            refuse("duplicate-name", f"names the same path as entry {seen[parts]}")
        else:
            seen[parts] = e.index
        if is_directory:
            for depth in range(1, len(parts) + 1):
                directories.add(parts[:depth])
        else:
            if len(parts) > 1 and parts[:-1] not in directories:
                refuse("missing-directory", "no directory item for its folder comes earlier; the "
                                            "launcher creates folders only from directory items")
            if parts == (facts.downloader,):
                launcher = True
    if not launcher:
        problems.append(Problem("no-launcher", f'no top-level file item "{facts.downloader.decode()}" '
                                               "(the launcher starts nothing else)"))


def validate(data, facts, install_dir_length=DEFAULT_INSTALL_DIR_LENGTH):
    """Returns (problems, warnings, entries); the payload passes when
    problems is empty."""
    problems, warnings = [], []
    try:
        entries, directory_offset = check_structure(data, problems)
    except Refused as refusal:
        return [refusal.args[0]], warnings, []
    for e in entries:
        check_entry_data(data, e, directory_offset, problems)
    check_names(entries, facts, install_dir_length, problems, warnings)
    return problems, warnings, entries


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("payload")
    parser.add_argument("--install-dir-length", type=int, default=DEFAULT_INSTALL_DIR_LENGTH,
                        help="longest install directory, trailing backslash included (default %(default)s)")
    parser.add_argument("--copy-to", metavar="OUT", help="copy the payload here when it passes")
    parser.add_argument("--path-size", type=int, required=True,
                        help="units of the launcher's path buffers, terminator included")
    parser.add_argument("--install-suffix", required=True,
                        help="what the launcher puts behind the local application-data folder")
    parser.add_argument("--downloader", required=True, help="the top-level item the launcher starts")
    args = parser.parse_args(argv)
    facts = Facts(args.path_size, args.install_suffix, args.downloader)
    # The local application-data folder has at least one character.
    if not len(facts.install_suffix) < args.install_dir_length < facts.path_limit:
        parser.error(f"--install-dir-length must leave room for the install suffix and for names "
                     f"below {facts.path_limit} characters")
    if args.copy_to and os.path.exists(args.copy_to):
        os.remove(args.copy_to)
    try:
        with open(args.payload, "rb") as f:
            data = f.read()
    except OSError as e:
        print(f"validate_payload: {e}", file=sys.stderr)
        return 1
    problems, warnings, entries = validate(data, facts, args.install_dir_length)
    for w in warnings:
        print(f"validate_payload: {args.payload}: warning: {w}", file=sys.stderr)
    if problems:
        for p in problems:
            print(f"validate_payload: {args.payload}: refused: {p}", file=sys.stderr)
        return 1
    if args.copy_to:
        shutil.copyfile(args.payload, args.copy_to)
    print(f"validate_payload: {args.payload}: {len(entries)} entries, {len(data)} bytes: accepted")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
