#!/usr/bin/env python3
"""Builds the seed archives of the robustness suite with independent ZIP
writers: Info-ZIP zip (extra fields "UT" and "ux", an archive comment,
stored entries, streamed entries with data descriptors, a self-extractor
prefix with adjusted offsets), 7-Zip (stored and deflated) and Python's
zipfile (directory entries, a hand-made "UT" field, data descriptors from
an unseekable output, a prefix left unadjusted).

The inputs are small and deterministic: the suite mutates every header
byte of every seed, so a seed's size sets the suite's running time.
manifest.txt lists, per archive, each file entry's name and the input it
must equal: "archive<TAB>entry name<TAB>input path".

Usage: make_seeds.py OUTPUT_DIR
"""
import io
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile

FIXED_TIME = 1533536566  # 2018-08-06 06:22:46 UTC, for stable stamps

INPUTS = ["readme.txt", "sub/data.bin", "empty.dat"]
# What the tools are given: the folder "sub" makes them add directory entries.
TOP = ["readme.txt", "sub", "empty.dat"]


def content(name):
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


class Unseekable(io.RawIOBase):
    """zipfile writes data descriptors when it cannot seek back."""

    def __init__(self, f):
        self.f = f

    def writable(self):
        return True

    def write(self, b):
        return self.f.write(b)

    def seekable(self):
        return False


def run(args, cwd, data=None):
    subprocess.run(args, cwd=cwd, check=True, input=data,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def ut_extra(flags, *times):
    body = bytes([flags]) + b"".join(struct.pack("<i", t) for t in times)
    return struct.pack("<HH", 0x5455, len(body)) + body


def python_archive(path, method, unseekable=False, comment=b""):
    with open(path, "wb") as raw:
        target = Unseekable(raw) if unseekable else raw
        with zipfile.ZipFile(target, "w", compression=method) as z:
            z.comment = comment
            for d in ["sub/"]:
                info = zipfile.ZipInfo(d, date_time=(2018, 8, 6, 14, 22, 46))
                info.external_attr = 0o40755 << 16 | 0x10
                z.writestr(info, b"")
            for name in INPUTS:
                info = zipfile.ZipInfo(name, date_time=(2018, 8, 6, 14, 22, 46))
                info.compress_type = method
                info.external_attr = 0o100644 << 16
                info.extra = ut_extra(7, FIXED_TIME, FIXED_TIME + 60, FIXED_TIME - 60)
                z.writestr(info, content(name))


def main():
    out = os.path.abspath(sys.argv[1])
    inputs = os.path.join(out, "inputs")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(os.path.join(inputs, "sub"))
    for name in INPUTS:
        path = os.path.join(inputs, name)
        with open(path, "wb") as f:
            f.write(content(name))
        os.utime(path, (FIXED_TIME, FIXED_TIME))
    os.utime(os.path.join(inputs, "sub"), (FIXED_TIME, FIXED_TIME))

    archives = []

    def zip_tool(name, options, comment=None):
        path = os.path.join(out, name)
        run(["zip", "-q", "-r", *options, path, *TOP], inputs)
        if comment is not None:
            run(["zip", "-q", "-z", path], inputs, data=comment)
        archives.append(name)
        return path

    zip_tool("zip_default.zip", [], comment=b"seed archive comment\n")
    zip_tool("zip_stored.zip", ["-0", "-X"])

    # Output to a pipe: zip cannot seek back and writes data descriptors.
    piped = subprocess.run(["zip", "-q", "-r", "-", *TOP], cwd=inputs, check=True,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    with open(os.path.join(out, "zip_streamed.zip"), "wb") as f:
        f.write(piped)
    archives.append("zip_streamed.zip")

    # A self-extractor: a stub in front, offsets adjusted by zip -A.
    sfx = os.path.join(out, "zip_sfx.zip")
    plain = os.path.join(out, "sfx_body.tmp")
    run(["zip", "-q", "-r", "-X", plain, *TOP], inputs)
    with open(sfx, "wb") as f:
        f.write(b"MZ" + bytes(range(256))[:198])
        with open(plain, "rb") as body:
            f.write(body.read())
    os.remove(plain)
    run(["zip", "-q", "-A", sfx], inputs)
    archives.append("zip_sfx.zip")

    for name, level in [("7z_deflated.zip", "-mx=5"), ("7z_stored.zip", "-mx=0")]:
        run(["7z", "a", "-bd", "-tzip", level, os.path.join(out, name), *TOP], inputs)
        archives.append(name)

    python_archive(os.path.join(out, "py_deflated.zip"), zipfile.ZIP_DEFLATED, comment=b"python seed")
    archives.append("py_deflated.zip")
    python_archive(os.path.join(out, "py_stored_dd.zip"), zipfile.ZIP_STORED, unseekable=True)
    archives.append("py_stored_dd.zip")
    python_archive(os.path.join(out, "py_deflated_dd.zip"), zipfile.ZIP_DEFLATED, unseekable=True)
    archives.append("py_deflated_dd.zip")

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
                    if info.filename.endswith("/"):
                        continue
                    m.write(f"{name}\t{info.filename}\tinputs/{info.filename}\n")


if __name__ == "__main__":
    main()
