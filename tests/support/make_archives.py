#!/usr/bin/env python3
"""Builds the archives that tests read from independent ZIP writers (Info-ZIP
zip, 7-Zip, Python's zipfile), one set per use:

  reader   tools_test: the files of tests/reader/tool_files (--source),
           given known modification times (--time) and one made read-only,
           packed by Info-ZIP's zip with its extended-timestamp fields (no
           -X), deflated and stored; and a Python zipfile archive, which
           holds MS-DOS times only (its contents are recomputed by the test).
  extract  extract_tools_test: the same generated inputs, sizes around the
           16 KiB copy and input buffers and one of a few megabytes, packed
           by all three writers, stored and deflated, plus archives whose
           entries carry data descriptors. manifest.txt names each archive,
           the modification time its items must get when the writer stores
           a Unix time, and its entries in central directory order; each
           entry is named after the input file it must equal.
  seeds    the robustness suite's seed archives: Info-ZIP zip (extra fields
           "UT" and "ux", an archive comment, stored entries, streamed
           entries with data descriptors, a self-extractor prefix with
           adjusted offsets), 7-Zip (stored and deflated) and Python's
           zipfile (directory entries, a hand-made "UT" field, data
           descriptors from an unseekable output, a prefix left
           unadjusted). The inputs are small: the suite mutates every header
           byte of every seed, so a seed's size sets its running time.
           manifest.txt lists each file entry as "archive<TAB>entry
           name<TAB>input path".

Every set is made afresh in OUT; the inputs are deterministic.

Usage: make_archives.py SET OUT --zip ZIP --7z 7Z [--source DIR] [--time PATH=UNIX]...
"""
import argparse
import io
import os
import random
import shutil
import stat
import struct
import subprocess
import sys
import zipfile

FIXED_TIME = 1533536566  # 2018-08-06 06:22:46 UTC: file times of generated inputs, for stable stamps
FIXED_DOS_TIME = (2018, 8, 6, 14, 22, 46)


class Unseekable(io.RawIOBase):
    """An output zipfile cannot seek back in: it must write data descriptors."""

    def __init__(self, f):
        self.f = f

    def writable(self):
        return True

    def write(self, b):
        return self.f.write(b)

    def seekable(self):
        return False


def run(args, cwd, data=None):
    subprocess.run(args, cwd=cwd, check=True, input=data, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def piped(args, cwd):
    """What a writer sends to standard output (zip -: it cannot seek back)."""
    return subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout


def write_inputs(folder, contents):
    for name, data in contents.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (FIXED_TIME, FIXED_TIME))


def ut_extra(flags, *times):
    body = bytes([flags]) + b"".join(struct.pack("<i", t) for t in times)
    return struct.pack("<HH", 0x5455, len(body)) + body


# ---- reader ---------------------------------------------------------------------

def python_entry(name, date_time, method, mode, dos_attributes=0):
    info = zipfile.ZipInfo(name, date_time=date_time)
    info.compress_type = method
    info.external_attr = (mode << 16) | dos_attributes
    info.create_system = 3  # Unix
    return info


def make_reader(out, args):
    stage = os.path.join(out, "stage")
    shutil.copytree(args.source, stage)
    readonly = os.path.join(stage, "readonly.txt")
    os.chmod(readonly, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
    for item in args.time:  # in the order given: a folder after the files in it
        path, _, unix = item.partition("=")
        os.utime(os.path.join(stage, path), (int(unix), int(unix)))
    run([args.zip, "-q", "-r", os.path.join(out, "infozip.zip"), "hello.txt", "readonly.txt", "sub"], stage)
    run([args.zip, "-q", "-0", os.path.join(out, "infozip_stored.zip"), "hello.txt", "sub/data.txt"], stage)
    with zipfile.ZipFile(os.path.join(out, "python.zip"), "w") as z:
        z.writestr(python_entry("stored.txt", FIXED_DOS_TIME, zipfile.ZIP_STORED, 0o100644), b"stored by python\n")
        z.writestr(python_entry("deflated.txt", (2001, 2, 3, 4, 5, 6), zipfile.ZIP_DEFLATED, 0o100444),
                   b"0123456789abcdef" * 256)
        z.writestr(python_entry("folder/", (2010, 1, 1, 0, 0, 0), zipfile.ZIP_STORED, 0o040755, 0x10), b"")
        z.writestr(python_entry("folder/inner.bin", FIXED_DOS_TIME, zipfile.ZIP_DEFLATED, 0o100600),
                   bytes(range(256)) * 4)


# ---- extract --------------------------------------------------------------------

EXTRACT_SIZES = {
    "empty.bin": 0,
    "one.bin": 1,
    "b16383.bin": 16383,
    "b16384.bin": 16384,
    "b16385.bin": 16385,
    "b40000.bin": 40000,
    "big.bin": 3 * 1024 * 1024 + 4321,
}


def extract_content(name, size):
    """Runs of text-like bytes (deflate finds matches, long and short) mixed
    with short runs of random bytes; the big file also holds one long random
    run, for which deflate writers fall back to stored blocks."""
    rng = random.Random(name)
    words = [bytes(rng.choice(b"abcdefghij ") for _ in range(rng.randint(2, 9))) for _ in range(40)]
    out = bytearray()
    while len(out) < size:
        for _ in range(rng.randint(1, 800)):
            out += rng.choice(words)
        out += rng.randbytes(rng.randint(1, 3000))
        if size > 1000000 and len(out) > size // 2 and len(out) < size // 2 + 100000:
            out += rng.randbytes(200000)
    return bytes(out[:size])


def check_extract_archives(archives, names):
    """The archives must really hold what the test claims to cover."""
    for name, path in archives.items():
        infos = zipfile.ZipFile(path).infolist()
        if sorted(i.filename for i in infos) != sorted(names):
            sys.exit("%s: unexpected entries" % name)
        # Writers may store an entry that deflate would not shrink (one byte).
        methods = {i.compress_type for i in infos if i.file_size >= 16383}
        want = {zipfile.ZIP_STORED} if "stored" in name else {zipfile.ZIP_DEFLATED} if "deflated" in name else None
        if want is not None and methods != want:
            sys.exit("%s: methods %s" % (name, methods))
        if name in ("zip_piped.zip", "py_stream.zip") and not all(i.flag_bits & 8 for i in infos):
            sys.exit("%s: entries without data descriptors" % name)
        if name.startswith("zip_") and not all(i.extra.startswith(b"UT") for i in infos):
            sys.exit("%s: entries without extended timestamps" % name)


def make_extract(out, args):
    inputs = os.path.join(out, "inputs")
    names = list(EXTRACT_SIZES)
    write_inputs(inputs, {name: extract_content(name, size) for name, size in EXTRACT_SIZES.items()})
    archives = {}

    def arc(name):
        archives[name] = os.path.join(out, name)
        return archives[name]

    run([args.zip, "-q", "-0", arc("zip_stored.zip")] + names, inputs)
    run([args.zip, "-q", "-9", arc("zip_deflated.zip")] + names, inputs)
    with open(arc("zip_piped.zip"), "wb") as f:
        f.write(piped([args.zip, "-q", "-", *names], inputs))
    run([args.sevenzip, "a", "-bd", "-tzip", "-mx=0", arc("7z_stored.zip")] + names, inputs)
    run([args.sevenzip, "a", "-bd", "-tzip", "-mm=Deflate", "-mx=9", arc("7z_deflated.zip")] + names, inputs)
    for label, method in (("stored", zipfile.ZIP_STORED), ("deflated", zipfile.ZIP_DEFLATED)):
        with zipfile.ZipFile(arc("py_%s.zip" % label), "w", method) as z:
            for name in names:
                z.write(os.path.join(inputs, name), name)
    with open(arc("py_stream.zip"), "wb") as raw:
        with zipfile.ZipFile(Unseekable(raw), "w") as z:
            for i, name in enumerate(names):
                info = zipfile.ZipInfo(name, FIXED_DOS_TIME)
                info.compress_type = zipfile.ZIP_DEFLATED if i % 2 else zipfile.ZIP_STORED
                with z.open(info, "w") as w, open(os.path.join(inputs, name), "rb") as src:
                    shutil.copyfileobj(src, w)
    check_extract_archives(archives, names)

    with open(os.path.join(out, "manifest.txt"), "w", newline="\n") as m:
        for name in sorted(archives):
            m.write("archive %s\n" % name)
            # Info-ZIP zip stores the modification time as a Unix time in a
            # "UT" extra field, so the extracted files must carry it exactly.
            if name.startswith("zip_"):
                m.write("modified %d\n" % FIXED_TIME)
            for info in zipfile.ZipFile(archives[name]).infolist():
                m.write("item %s\n" % info.filename)


# ---- seeds ----------------------------------------------------------------------

SEED_INPUTS = ["readme.txt", "sub/data.bin", "empty.dat"]
# What the tools are given: the folder "sub" makes them add directory entries.
SEED_TOP = ["readme.txt", "sub", "empty.dat"]


def seed_content(name):
    rng = random.Random(name)
    if name == "empty.dat":
        return b""
    if name.endswith(".bin"):
        # Text-like runs and a few random bytes: deflate has work to do.
        out = bytearray()
        while len(out) < 1800:
            out += rng.choice([b"alpha ", b"beta ", b"gamma ", b"delta "]) * rng.randint(1, 6)
            out += rng.randbytes(rng.randint(1, 40))
        return bytes(out[:1800])
    words = [b"launcher", b"archive", b"payload", b"item", b"record", b"zip"]
    text = b" ".join(rng.choice(words) for _ in range(60))
    return text[:260] + b"\n"


def python_seed(path, method, unseekable=False, comment=b""):
    with open(path, "wb") as raw:
        target = Unseekable(raw) if unseekable else raw
        with zipfile.ZipFile(target, "w", compression=method) as z:
            z.comment = comment
            info = zipfile.ZipInfo("sub/", date_time=FIXED_DOS_TIME)
            info.external_attr = 0o40755 << 16 | 0x10
            z.writestr(info, b"")
            for name in SEED_INPUTS:
                info = zipfile.ZipInfo(name, date_time=FIXED_DOS_TIME)
                info.compress_type = method
                info.external_attr = 0o100644 << 16
                info.extra = ut_extra(7, FIXED_TIME, FIXED_TIME + 60, FIXED_TIME - 60)
                z.writestr(info, seed_content(name))


def make_seeds(out, args):
    inputs = os.path.join(out, "inputs")
    write_inputs(inputs, {name: seed_content(name) for name in SEED_INPUTS})
    os.utime(os.path.join(inputs, "sub"), (FIXED_TIME, FIXED_TIME))
    archives = []

    def zip_tool(name, options, comment=None):
        path = os.path.join(out, name)
        run([args.zip, "-q", "-r", *options, path, *SEED_TOP], inputs)
        if comment is not None:
            run([args.zip, "-q", "-z", path], inputs, data=comment)
        archives.append(name)

    zip_tool("zip_default.zip", [], comment=b"seed archive comment\n")
    zip_tool("zip_stored.zip", ["-0", "-X"])
    with open(os.path.join(out, "zip_streamed.zip"), "wb") as f:
        f.write(piped([args.zip, "-q", "-r", "-", *SEED_TOP], inputs))
    archives.append("zip_streamed.zip")

    # A self-extractor: a stub in front, offsets adjusted by zip -A.
    sfx = os.path.join(out, "zip_sfx.zip")
    plain = os.path.join(out, "sfx_body.tmp")
    run([args.zip, "-q", "-r", "-X", plain, *SEED_TOP], inputs)
    with open(sfx, "wb") as f:
        f.write(b"MZ" + bytes(range(256))[:198])
        with open(plain, "rb") as body:
            f.write(body.read())
    os.remove(plain)
    run([args.zip, "-q", "-A", sfx], inputs)
    archives.append("zip_sfx.zip")

    for name, level in [("7z_deflated.zip", "-mx=5"), ("7z_stored.zip", "-mx=0")]:
        run([args.sevenzip, "a", "-bd", "-tzip", level, os.path.join(out, name), *SEED_TOP], inputs)
        archives.append(name)

    python_seed(os.path.join(out, "py_deflated.zip"), zipfile.ZIP_DEFLATED, comment=b"python seed")
    python_seed(os.path.join(out, "py_stored_dd.zip"), zipfile.ZIP_STORED, unseekable=True)
    python_seed(os.path.join(out, "py_deflated_dd.zip"), zipfile.ZIP_DEFLATED, unseekable=True)
    archives += ["py_deflated.zip", "py_stored_dd.zip", "py_deflated_dd.zip"]

    # Bytes in front of an archive whose offsets do not count them.
    with open(os.path.join(out, "py_prefixed.zip"), "wb") as f:
        f.write(b"#!/bin/sh\nexit 0\n" + bytes(range(64)))
        with open(os.path.join(out, "py_deflated.zip"), "rb") as body:
            f.write(body.read())
    archives.append("py_prefixed.zip")

    with open(os.path.join(out, "manifest.txt"), "w", newline="\n") as m:
        for name in archives:
            with zipfile.ZipFile(os.path.join(out, name)) as z:
                for info in z.infolist():
                    if not info.filename.endswith("/"):
                        m.write(f"{name}\t{info.filename}\tinputs/{info.filename}\n")


SETS = {"reader": make_reader, "extract": make_extract, "seeds": make_seeds}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("set", choices=sorted(SETS))
    parser.add_argument("out")
    parser.add_argument("--zip", required=True, help="Info-ZIP zip")
    parser.add_argument("--7z", dest="sevenzip", required=True, help="7-Zip")
    parser.add_argument("--source", help="reader: the folder of files to pack")
    parser.add_argument("--time", action="append", default=[], metavar="PATH=UNIX",
                        help="reader: a modification time to give a file or folder before packing")
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    SETS[args.set](out, args)


if __name__ == "__main__":
    main()
