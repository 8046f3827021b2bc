#!/usr/bin/env python3
"""The payload packer's output against the shipped form.

tools/pack_payload.py is run as the build runs it, and what it writes is read
back three ways: by Python's zipfile and Info-ZIP's `unzip -t` (an archive
other readers accept), and field by field here (the shipped form: versions,
flags, the "UT" fields, MS-DOS times in the payload's zone rounded up to an
even second, attributes, no descriptors, no comments, nothing between the
records). The nine-entry case uses the shipped names and sizes, which fixes
the central directory at 613 bytes followed directly by the 22-byte end
record. Folder packing, time stamps and the refusals of the command line
have their own cases.
"""
import datetime
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("LAUNCHER_SOURCE_DIR", os.path.join(HERE, "..", ".."))
PACKER = os.path.join(SOURCE, "tools", "pack_payload.py")
VALIDATOR = os.path.join(SOURCE, "tools", "validate_payload.py")
sys.path.insert(0, HERE)
from expected import VALIDATOR_OPTIONS  # noqa: E402

SHIPPED = [  # name, size, archive bit
    ("/crashrpt_lang.ini", 5194, False),
    ("/CrashSender.exe", 1244536, False),
    ("/dbghelp.dll", 1085816, False),
    ("/download.torrent", 287428, True),
    ("/downloader.skin", 759959, False),
    ("/dw_dlr.exe", 4856696, False),
    ("/install.ini", 41, False),
    ("/wke.dll", 11718656, False),
    ("union.db", 52, True),
]
SHIPPED_TIME = 1533536566     # 2018-08-06 06:22:46 UTC
CHINA = 8 * 3600


def content(size, seed):
    """Half random, half repetitive: deflate has work to do either way."""
    rng = random.Random(seed)
    noise = rng.randbytes(size // 2)
    pattern = (b"launcher payload %d " % seed) * (size // 20 + 1)
    return (noise + pattern)[:size]


def expected_dos(unix_time, offset):
    """(date, time) as the shipped form has them, worked out with datetime."""
    t = unix_time + offset
    t += t % 2
    when = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=t)
    if when.year < 1980:
        return (1 << 5) | 1, 0
    return (((when.year - 1980) << 9) | (when.month << 5) | when.day,
            (when.hour << 11) | (when.minute << 5) | (when.second // 2))


def parse(archive):
    """Every record of an archive that must have nothing between its records."""
    entries = []
    pos = 0
    while archive[pos:pos + 4] == b"PK\x03\x04":
        f = dict(zip(("sig", "needed", "flags", "method", "time", "date", "crc", "csize", "usize",
                      "nlen", "xlen"), struct.unpack_from("<IHHHHHIIIHH", archive, pos)))
        f["offset"] = pos
        f["name"] = archive[pos + 30:pos + 30 + f["nlen"]]
        f["extra"] = archive[pos + 30 + f["nlen"]:pos + 30 + f["nlen"] + f["xlen"]]
        start = pos + 30 + f["nlen"] + f["xlen"]
        f["packed"] = archive[start:start + f["csize"]]
        pos = start + f["csize"]  # no data descriptor: the next record follows at once
        entries.append({"local": f})
    directory_start = pos
    for e in entries:
        c = dict(zip(("sig", "made_by", "needed", "flags", "method", "time", "date", "crc", "csize",
                      "usize", "nlen", "xlen", "clen", "disk", "internal", "external", "offset"),
                     struct.unpack_from("<IHHHHHHIIIHHHHHII", archive, pos)))
        c["name"] = archive[pos + 46:pos + 46 + c["nlen"]]
        c["extra"] = archive[pos + 46 + c["nlen"]:pos + 46 + c["nlen"] + c["xlen"]]
        pos += 46 + c["nlen"] + c["xlen"] + c["clen"]
        e["central"] = c
    end = dict(zip(("sig", "disk", "directory_disk", "on_disk", "total", "size", "offset", "clen"),
                   struct.unpack_from("<IHHHHIIH", archive, pos)))
    end["at"] = pos
    return entries, directory_start, end


class PackerRun(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, rel, data, mtime=None):
        path = os.path.join(self.dir, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(path, (mtime + 12345, mtime))  # access time differs on purpose
        return path

    def pack(self, *args, expect_ok=True):
        out = os.path.join(self.dir, "out.zip")
        result = subprocess.run([sys.executable, PACKER, "-o", out, *args],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if expect_ok:
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(out, "rb") as f:
                return out, f.read()
        return result

    def assert_other_readers_accept(self, path, expected):
        with zipfile.ZipFile(path) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual([i.filename for i in z.infolist()], [n for n, _ in expected])
            for info, (_, data) in zip(z.infolist(), expected):
                if data is not None:
                    self.assertEqual(z.read(info), data, info.filename)
        result = subprocess.run(["unzip", "-t", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(result.returncode, 0, result.stdout)


class ShippedForm(PackerRun):
    def test_nine_entries_in_the_shipped_form(self):
        files = []
        for i, (name, size, _) in enumerate(SHIPPED):
            path = self.write("in/%d" % i, content(size, i))
            files.append((path, name))
        args = ["--time", str(SHIPPED_TIME), "--utc-offset", str(CHINA)]
        for name, _, archive_bit in SHIPPED:
            if archive_bit:
                args += ["--archive-bit", name]
        out, archive = self.pack(*args, *["%s=%s" % f for f in files])

        expected = [(name, content(size, i)) for i, (name, size, _) in enumerate(SHIPPED)]
        self.assert_other_readers_accept(out, expected)

        entries, directory_start, end = parse(archive)
        self.assertEqual(len(entries), 9)
        self.assertEqual(end["at"] - directory_start, 613)
        self.assertEqual(end["at"] + 22, len(archive))
        self.assertEqual((end["sig"], end["disk"], end["directory_disk"], end["on_disk"], end["total"],
                          end["size"], end["offset"], end["clen"]),
                         (0x06054B50, 0, 0, 9, 9, 613, directory_start, 0))

        dos_date, dos_time = expected_dos(SHIPPED_TIME, CHINA)
        self.assertEqual((dos_date, dos_time), (0x4D06, 0x72D7))  # 2018-08-06 14:22:46, as shipped
        for e, (name, size, archive_bit), (_, data) in zip(entries, SHIPPED, expected):
            with self.subTest(name):
                local, central = e["local"], e["central"]
                crc = zlib.crc32(data)
                self.assertEqual(zlib.decompress(local["packed"], -15), data)
                for record in (local, central):
                    self.assertEqual(record["needed"], 20)
                    self.assertEqual(record["flags"], 0x0002)
                    self.assertEqual(record["method"], 8)
                    self.assertEqual((record["date"], record["time"]), (dos_date, dos_time))
                    self.assertEqual((record["crc"], record["csize"], record["usize"]),
                                     (crc, len(local["packed"]), size))
                    self.assertEqual(record["name"], name.encode())
                self.assertEqual(local["sig"], 0x04034B50)
                self.assertEqual(local["extra"], b"UT" + struct.pack("<HBiii", 13, 7, SHIPPED_TIME,
                                                                     SHIPPED_TIME, SHIPPED_TIME))
                self.assertEqual(central["sig"], 0x02014B50)
                self.assertEqual(central["made_by"], 0x0B17)
                self.assertEqual(central["extra"], b"UT" + struct.pack("<HBi", 5, 7, SHIPPED_TIME))
                self.assertEqual((central["clen"], central["disk"], central["internal"]), (0, 0, 0))
                self.assertEqual(central["external"], 0x81800020 if archive_bit else 0x81800000)
                self.assertEqual(central["offset"], local["offset"])

        result = subprocess.run([sys.executable, VALIDATOR, out, *VALIDATOR_OPTIONS], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        self.assertEqual(result.returncode, 0, result.stdout)


class TimeStamps(PackerRun):
    # (Unix time, UTC offset, why)
    CASES = [
        (SHIPPED_TIME, CHINA, "even second, eight hours ahead"),
        (SHIPPED_TIME + 1, CHINA, "odd second rounds up"),
        (1546271999, 0, "23:59:59 on New Year's Eve rounds into the next year"),
        (1546271999 - CHINA, CHINA, "the same in China Standard Time"),
        (315532800 - 3600, 0, "before 1980: the MS-DOS epoch"),
        (SHIPPED_TIME, -5 * 3600, "a zone west of UTC"),
    ]

    def test_each_file_keeps_its_modification_time_and_dos_time_is_local(self):
        file_args = []
        for i, (unix_time, _, _) in enumerate(self.CASES):
            path = self.write("t%d" % i, b"x" * i, mtime=unix_time)
            file_args.append("%s=/t%d" % (path, i))
        for offset in sorted({o for _, o, _ in self.CASES}):
            _, archive = self.pack("--utc-offset", str(offset), *file_args)
            entries, _, _ = parse(archive)
            for e, (unix_time, case_offset, why) in zip(entries, self.CASES):
                if case_offset != offset:
                    continue
                with self.subTest(why):
                    local, central = e["local"], e["central"]
                    self.assertEqual((central["date"], central["time"]), expected_dos(unix_time, offset))
                    self.assertEqual((local["date"], local["time"]), expected_dos(unix_time, offset))
                    # The access time a read would move and the Unix change
                    # time are not taken: all three are the modification time.
                    self.assertEqual(local["extra"][5:], struct.pack("<iii", unix_time, unix_time, unix_time))


class Folders(PackerRun):
    def test_folder_gives_directory_items_ahead_of_their_files_sorted_without_case(self):
        self.write("p/dw_dlr.exe", b"MZ launcher")
        self.write("p/Readme.txt", b"read me")
        self.write("p/apple.txt", b"a")
        self.write("p/skins/default.skin", b"skin")
        self.write("p/skins/deep/x.bin", b"\0\1\2")
        os.makedirs(os.path.join(self.dir, "p", "empty"))
        out, archive = self.pack("--time", str(SHIPPED_TIME), "--dir", os.path.join(self.dir, "p"))
        self.assert_other_readers_accept(out, [
            ("/apple.txt", b"a"), ("/dw_dlr.exe", b"MZ launcher"), ("/empty/", b""), ("/Readme.txt", b"read me"),
            ("/skins/", b""), ("/skins/deep/", b""), ("/skins/deep/x.bin", b"\0\1\2"),
            ("/skins/default.skin", b"skin")])
        entries, _, _ = parse(archive)
        for e in entries:
            central = e["central"]
            with self.subTest(central["name"]):
                if central["name"].endswith(b"/"):
                    self.assertEqual(central["external"], 0x41ED0010)  # directory, with the MS-DOS bit
                    self.assertEqual((central["method"], central["csize"], central["usize"]), (0, 0, 0))
                else:
                    self.assertEqual(central["external"], 0x81800000)
                    self.assertEqual(central["method"], 8)
        result = subprocess.run([sys.executable, VALIDATOR, out, *VALIDATOR_OPTIONS], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        self.assertEqual(result.returncode, 0, result.stdout)

    def test_list_file_keeps_order_and_names(self):
        a = self.write("a.bin", b"A")
        b = self.write("b.bin", b"B")
        listing = self.write("list.txt", ("# payload\n%s=/z_last_name_first\n\n%s=union.db\n" % (b, a)).encode())
        out, _ = self.pack("--time", "0", "--list", listing)
        self.assert_other_readers_accept(out, [("/z_last_name_first", b"B"), ("union.db", b"A")])


class Refusals(PackerRun):
    def test_names_outside_ascii_need_a_code_page(self):
        path = self.write("f", b"data")
        result = self.pack("--time", "0", path + "=/\u6e38\u620f.txt", expect_ok=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("--name-encoding", result.stderr)
        _, archive = self.pack("--time", "0", "--name-encoding", "cp936", path + "=/\u6e38\u620f.txt")
        entries, _, _ = parse(archive)
        self.assertEqual(entries[0]["central"]["name"], "/\u6e38\u620f.txt".encode("cp936"))

    def test_time_beyond_32_bits_is_refused(self):
        path = self.write("f", b"data")
        result = self.pack("--time", str(2 ** 31), path, expect_ok=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("32-bit", result.stderr)


if __name__ == "__main__":
    unittest.main()
