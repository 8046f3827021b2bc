#!/usr/bin/env python3
"""Payload validation: one case per rule, and the cases next to each rule
that must still pass.

The build runs tools/validate_payload.py on every payload it embeds, because
a payload the launcher cannot serve only shows on a user's machine, as files
missing from the install directory. Each case below starts from a small
valid payload (built field by field with zipwriter, or by Info-ZIP zip and
Python's zipfile where those make the archive more honestly than a hand
setting would) and breaks one thing; the test expects exactly that rule and
no other, so a check that fires too widely fails here as well as one that
does not fire. The command line is tested once for its contract with the
build: exit status, a message naming the entry and the rule, and --copy-to
leaving no copy behind on a refusal.
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("LAUNCHER_SOURCE_DIR", os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE, "tools"))

import expected  # noqa: E402
import validate_payload  # noqa: E402
from zipwriter import ZEntry, build, directory, raw_deflate  # noqa: E402

VALIDATOR = os.path.join(SOURCE, "tools", "validate_payload.py")
DOWNLOADER = expected.DOWNLOADER_NAME
# What the build hands the validator, as the tests expect it.
FACTS = validate_payload.Facts(expected.PATH_SIZE, expected.INSTALL_SUFFIX, DOWNLOADER)
EXE = b"MZ" + bytes(range(256)) * 8


def launcher(**fields):
    return ZEntry("/" + DOWNLOADER, EXE, **fields)


def text(name, **fields):
    return ZEntry(name, fields.pop("data", b"some text\r\n" * 20), **fields)


def base(*more):
    return [launcher(), text("/readme.txt"), *more]


def rules_of(data, **options):
    problems, _, _ = validate_payload.validate(data, FACTS, **options)
    return sorted({p.rule for p in problems})


def with_comment_hiding_signature():
    # An end record signature inside the archive comment: the reader takes
    # the occurrence nearest the end.
    return build(base(), comment=b"see PK\x05\x06 below")


def zip_tool(*args, cwd=None):
    subprocess.run(["zip", "-q", *args], check=True, cwd=cwd)


def info_zip_encrypted():
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, DOWNLOADER), "wb") as f:
            f.write(EXE)
        zip_tool("-P", "secret", "out.zip", DOWNLOADER, cwd=d)
        with open(os.path.join(d, "out.zip"), "rb") as f:
            return f.read()


def info_zip_zip64():
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, DOWNLOADER), "wb") as f:
            f.write(EXE)
        zip_tool("-fz", "out.zip", DOWNLOADER, cwd=d)
        with open(os.path.join(d, "out.zip"), "rb") as f:
            return f.read()


def info_zip_self_extractor_layout():
    """A stub in front, offsets adjusted by zip -A: the archive reads fine
    with a reader that starts anywhere, but the first local header is not
    at byte 0."""
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, DOWNLOADER), "wb") as f:
            f.write(EXE)
        zip_tool("out.zip", DOWNLOADER, cwd=d)
        with open(os.path.join(d, "out.zip"), "rb") as f:
            archive = f.read()
        with open(os.path.join(d, "sfx.zip"), "wb") as f:
            f.write(b"#!stub\n" * 10 + archive)
        zip_tool("-A", "sfx.zip", cwd=d)
        with open(os.path.join(d, "sfx.zip"), "rb") as f:
            return f.read()


def zipfile_archive(method):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        z.writestr(DOWNLOADER, EXE, compress_type=method)
    return out.getvalue()


# (description, archive bytes or a function making them, expected rules, options)
REFUSED = [
    ("too short for an end record", b"PK\x03\x04 no more", ["not-zip"], {}),
    ("no end record", b"\0" * 200, ["not-zip"], {}),
    ("disk number 1", lambda: build(base(), this_disk=1), ["multi-disk"], {}),
    ("records on this disk differ from the total", lambda: build(base(), total=3), ["multi-disk"], {}),
    ("ZIP64 made by Info-ZIP zip -fz", info_zip_zip64, ["zip64"], {}),
    ("ZIP64 extra field on an entry",
     lambda: build([launcher(central_extra=struct.pack("<HHQ", 1, 8, len(EXE)))]), ["zip64"], {}),
    ("100 bytes in front", lambda: build(base(), prefix=b"x" * 100), ["prefix"], {}),
    ("stub in front with offsets fixed by zip -A", info_zip_self_extractor_layout, ["prefix"], {}),
    ("bytes after the end record", lambda: build(base()) + b"\0\0\0\0", ["trailing-bytes"], {}),
    ("archive comment of 65,514 bytes", lambda: build(base(), comment=b"c" * 65514), ["comment-too-long"], {}),
    ("end record signature in the comment", with_comment_hiding_signature, ["unreadable"], {}),
    ("directory size too small", lambda: build(base(), directory_size=40), ["unreadable"], {}),
    ("directory reaching into the end record",
     lambda: build(base(), directory_size=10000), ["unreadable"], {}),
    ("bzip2 entry written by zipfile", lambda: zipfile_archive(zipfile.ZIP_BZIP2), ["method"], {}),
    ("LZMA entry written by zipfile", lambda: zipfile_archive(zipfile.ZIP_LZMA), ["method"], {}),
    ("encrypted by Info-ZIP zip -P", info_zip_encrypted, ["encrypted"], {}),
    ("local CRC-32 differs", lambda: build(base(text("/a.txt", local_crc=1))), ["header-mismatch"], {}),
    ("local method differs", lambda: build(base(text("/a.txt", local_method=0))), ["header-mismatch"], {}),
    ("local name differs in length",
     lambda: build(base(text("/a.txt", local_name=b"/ab.txt"))), ["header-mismatch"], {}),
    ("local name differs, same length",
     lambda: build(base(text("/a.txt", local_name=b"/b.txt"))), ["header-mismatch"], {}),
    ("damaged deflate data", lambda: build(base(text("/a.txt", packed=b"\xff" * 40))), ["bad-data"], {}),
    ("CRC-32 wrong in both headers", lambda: build(base(text("/a.txt", crc=0x12345678))), ["bad-data"], {}),
    ("stored data shorter than its size",
     lambda: build(base(text("/a.txt", method=0, uncompressed=500))), ["bad-data"], {}),
    ("deflate data cut short",
     lambda: build(base(text("/a.txt", packed=raw_deflate(b"abc" * 999)[:-3], data=b"abc" * 999))),
     ["bad-data"], {}),
    ("empty name", lambda: build(base(text(""))), ["bad-name"], {}),
    ("only separators", lambda: build(base(text("//"))), ["bad-name"], {}),
    ("question mark", lambda: build(base(text("/what?.txt"))), ["bad-name"], {}),
    ("control character", lambda: build(base(text("/a\tb.txt"))), ["bad-name"], {}),
    ("leading ..", lambda: build(base(text("../evil.txt"))), ["unsafe-name"], {}),
    ("/.. in the middle", lambda: build(base(directory("/a/"), text("/a/../../evil.txt"))), ["unsafe-name"], {}),
    ("backslash ..", lambda: build(base(text("..\\evil.txt"))), ["unsafe-name"], {}),
    ("trailing ..", lambda: build(base(directory("/a/.."))), ["unsafe-name"], {}),
    ("... climbs like ..", lambda: build(base(text("/.../evil.txt"))), ["unsafe-name"], {}),
    (". . climbs like ..", lambda: build(base(text("/. ./evil.txt"))), ["unsafe-name"], {}),
    ("drive letter", lambda: build(base(text("C:evil.txt"))), ["unsafe-name"], {}),
    ("device name alone", lambda: build(base(text("/nul"))), ["device-name"], {}),
    ("device name with an extension", lambda: build(base(text("/aux.dll"))), ["device-name"], {}),
    ("device name in capitals", lambda: build(base(text("/CON"))), ["device-name"], {}),
    ("numbered port", lambda: build(base(text("/com1.txt"))), ["device-name"], {}),
    ("port 0", lambda: build(base(text("/Lpt0"))), ["device-name"], {}),
    ("device name in a subfolder", lambda: build(base(directory("/sub/"), text("/sub/lpt9.ini"))),
     ["device-name"], {}),
    ("device name as a folder", lambda: build(base(directory("/prn/"), text("/prn/a.txt"))), ["device-name"], {}),
    ("device name with a trailing dot", lambda: build(base(text("/prn."))), ["device-name"], {}),
    ("blank before the extension", lambda: build(base(text("/nul .txt"))), ["device-name"], {}),
    ("console input and output", lambda: build(base(text("/conin$"), text("/CONOUT$.log"))), ["device-name"], {}),
    ("alternate data stream", lambda: build(base(text("/readme.txt:hidden"))), ["unsafe-name"], {}),
    ("60 characters behind a 200-character install directory",
     lambda: build(base(text("/" + "n" * 59))), ["name-too-long"], {}),
    ("300 characters", lambda: build(base(text("/" + "n" * 299))), ["name-too-long"],
     {"install_dir_length": 28}),
    ("separator at the end of a file item", lambda: build(base(text("/sub/"))), ["directory-attributes"], {}),
    ("file in a folder without a directory item", lambda: build(base(text("/sub/a.txt"))),
     ["missing-directory"], {}),
    ("directory item after the file", lambda: build(base(text("/sub/a.txt"), directory("/sub/"))),
     ["missing-directory"], {}),
    ("directory item for another folder",
     lambda: build(base(directory("/other/"), text("/sub/a.txt"))), ["missing-directory"], {}),
    ("same name twice", lambda: build(base(text("/a.txt"), text("/a.txt"))), ["duplicate-name"], {}),
    ("names differing in case only", lambda: build(base(text("/a.txt"), text("A.TXT"))), ["duplicate-name"], {}),
    ("names differing in separators", lambda: build(base(directory("/s/"), text("/s/a"), text("\\s\\a"))),
     ["duplicate-name"], {}),
    ("trailing dot dropped by Windows", lambda: build(base(text("/a"), text("/a."))), ["duplicate-name"], {}),
    ("no downloader", lambda: build([text("/readme.txt")]), ["no-launcher"], {}),
    ("the downloader only in a subfolder",
     lambda: build([directory("/bin/"), ZEntry("/bin/" + DOWNLOADER, EXE)]), ["no-launcher"], {}),
    ("the downloader as a directory item", lambda: build([directory("/" + DOWNLOADER + "/")]), ["no-launcher"], {}),
]

ACCEPTED = [
    ("the base payload", lambda: build(base()), {}),
    ("the downloader without a leading slash, as union.db is stored", lambda: build([ZEntry(DOWNLOADER, EXE)]), {}),
    ("stored entries", lambda: build([launcher(method=0, flags=0), text("/a.txt", method=0)]), {}),
    ("data descriptors (bit 3) with zero local CRC and sizes",
     lambda: build([launcher(descriptor=True), text("/a.txt", descriptor=True)]), {}),
    ("archive comment of 65,513 bytes", lambda: build(base(), comment=b"c" * 65513), {}),
    ("a directory item creates its whole chain",
     lambda: build(base(directory("/a/b/"), text("/a/x.txt"), text("/a/b/y.txt"))), {}),
    ("directory item with only the MS-DOS bit", lambda: build(base(directory("/d/", external=0x10), text("/d/f"))), {}),
    ("dots inside names", lambda: build(base(text("/..hidden"), text("/a..b.txt"), text("/.config"))), {}),
    ("names that only contain a device word",
     lambda: build(base(text("/console.dll"), text("/nulls.txt"), text("/com10.txt"), text("/lpt.ini"),
                        text("/auxiliary"), text("/xnul"), text("/conin.txt"))), {}),
    ("59 characters behind a 200-character install directory", lambda: build(base(text("/" + "n" * 58))), {}),
    ("60 characters with a shorter documented install directory",
     lambda: build(base(text("/" + "n" * 59))), {"install_dir_length": 100}),
    ("Info-ZIP zip's own archive", lambda: info_zip_plain(), {}),
]


def info_zip_plain():
    with tempfile.TemporaryDirectory() as d:
        os.mkdir(os.path.join(d, "skins"))
        with open(os.path.join(d, DOWNLOADER), "wb") as f:
            f.write(EXE)
        with open(os.path.join(d, "skins", "default.skin"), "wb") as f:
            f.write(b"skin")
        zip_tool("-r", "-X", "out.zip", DOWNLOADER, "skins", cwd=d)
        with open(os.path.join(d, "out.zip"), "rb") as f:
            return f.read()


def materialise(archive):
    return archive() if callable(archive) else archive


class Rules(unittest.TestCase):
    def test_each_rule_refuses_its_case_and_nothing_else_fires(self):
        for description, archive, expected, options in REFUSED:
            with self.subTest(description):
                self.assertEqual(rules_of(materialise(archive), **options), expected)

    def test_neighbouring_cases_pass(self):
        for description, archive, options in ACCEPTED:
            with self.subTest(description):
                problems, _, _ = validate_payload.validate(materialise(archive), FACTS, **options)
                self.assertEqual([str(p) for p in problems], [])

    def test_the_shipped_form_passes(self):
        """Nine entries named as shipped, flat, with "union.db" unslashed."""
        names = ["/crashrpt_lang.ini", "/CrashSender.exe", "/dbghelp.dll", "/download.torrent",
                 "/downloader.skin", "/" + DOWNLOADER, "/install.ini", "/wke.dll", "union.db"]
        archive = build([ZEntry(n, n.encode() * 10, local_extra=b"UT\x0d\x00\x07" + b"\0" * 12) for n in names])
        self.assertEqual(rules_of(archive), [])


class CommandLine(unittest.TestCase):
    def run_validator(self, archive, *options):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d)
        path, copy = os.path.join(d, "payload.zip"), os.path.join(d, "copy.zip")
        with open(path, "wb") as f:
            f.write(archive)
        with open(copy, "wb") as f:
            f.write(b"left by an earlier build")
        result = subprocess.run([sys.executable, VALIDATOR, path, "--copy-to", copy, *expected.VALIDATOR_OPTIONS, *options],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        copied = None
        if os.path.exists(copy):
            with open(copy, "rb") as f:
                copied = f.read()
        return result, copied

    def test_refusal_names_entry_and_rule_and_leaves_no_copy(self):
        result, copied = self.run_validator(build(base(text("/../evil.txt"), text("/" + "n" * 70))))
        self.assertEqual(result.returncode, 1)
        self.assertIn('entry 2 "/../evil.txt"', result.stderr)
        self.assertIn("rule unsafe-name", result.stderr)
        self.assertIn('entry 3 "/' + "n" * 70 + '"', result.stderr)
        self.assertIn("rule name-too-long", result.stderr)
        self.assertIn("install directory of up to 200 characters", result.stderr)
        self.assertIsNone(copied)

    def test_install_dir_length_changes_the_documented_limit(self):
        result, _ = self.run_validator(build(base(text("/" + "n" * 70))), "--install-dir-length", "220")
        self.assertEqual(result.returncode, 1)
        self.assertIn("install directory of up to 220 characters a name may have 39", result.stderr)

    def test_accepted_payload_is_copied_unchanged(self):
        archive = build(base())
        result, copied = self.run_validator(archive)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(copied, archive)


if __name__ == "__main__":
    unittest.main()
