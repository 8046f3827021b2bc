#!/usr/bin/env python3
"""Builds the archives that extract_tools_test reads: the same input files
packed by independent ZIP writers (Info-ZIP zip, 7-Zip, Python's zipfile),
stored and deflated, plus archives whose entries carry data descriptors.

The inputs are generated here, deterministically, with sizes around the
16 KiB copy and input buffers and one of a few megabytes; the test compares
every extracted item with them byte for byte. manifest.txt names each
archive, the modification time its items must get when the writer stores a
Unix time, and its entries in central directory order; each entry is named
after the input file it must equal.
"""
import io
import os
import random
import shutil
import subprocess
import sys
import zipfile

FIXED_TIME = 1533536566  # file times of the inputs, so zip and 7z store fixed stamps

SIZES = {
    "empty.bin": 0,
    "one.bin": 1,
    "b16383.bin": 16383,
    "b16384.bin": 16384,
    "b16385.bin": 16385,
    "b40000.bin": 40000,
    "big.bin": 3 * 1024 * 1024 + 4321,
}


def content(name, size):
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


class Unseekable(io.RawIOBase):
    """An output zipfile cannot seek back in: it must use data descriptors."""

    def __init__(self, f):
        self.f = f

    def writable(self):
        return True

    def write(self, b):
        return self.f.write(b)

    def seekable(self):
        return False


def run(args, cwd, stdout=None):
    subprocess.run(args, cwd=cwd, check=True, stdout=stdout or subprocess.DEVNULL)


def main():
    out = os.path.abspath(sys.argv[1])
    inputs = os.path.join(out, "inputs")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(inputs)
    names = list(SIZES)
    for name, size in SIZES.items():
        path = os.path.join(inputs, name)
        with open(path, "wb") as f:
            f.write(content(name, size))
        os.utime(path, (FIXED_TIME, FIXED_TIME))

    archives = {}

    def arc(name):
        path = os.path.join(out, name)
        archives[name] = path
        return path

    run(["zip", "-q", "-0", arc("zip_stored.zip")] + names, inputs)
    run(["zip", "-q", "-9", arc("zip_deflated.zip")] + names, inputs)
    # zip writing to a pipe cannot seek back: bit 3 and a descriptor per entry.
    with open(arc("zip_piped.zip"), "wb") as f:
        zip_proc = subprocess.Popen(["zip", "-q", "-", *names], cwd=inputs, stdout=subprocess.PIPE)
        shutil.copyfileobj(zip_proc.stdout, f)
        if zip_proc.wait() != 0:
            sys.exit("zip to a pipe failed")
    run(["7z", "a", "-bd", "-tzip", "-mx=0", arc("7z_stored.zip")] + names, inputs)
    run(["7z", "a", "-bd", "-tzip", "-mm=Deflate", "-mx=9", arc("7z_deflated.zip")] + names, inputs)
    for label, method in (("stored", zipfile.ZIP_STORED), ("deflated", zipfile.ZIP_DEFLATED)):
        with zipfile.ZipFile(arc("py_%s.zip" % label), "w", method) as z:
            for name in names:
                z.write(os.path.join(inputs, name), name)
    with open(arc("py_stream.zip"), "wb") as raw:
        with zipfile.ZipFile(Unseekable(raw), "w") as z:
            for i, name in enumerate(names):
                info = zipfile.ZipInfo(name, (2018, 8, 6, 14, 22, 46))
                info.compress_type = zipfile.ZIP_DEFLATED if i % 2 else zipfile.ZIP_STORED
                with z.open(info, "w") as w, open(os.path.join(inputs, name), "rb") as src:
                    shutil.copyfileobj(src, w)

    # The archives must really hold what the test claims to cover.
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

    with open(os.path.join(out, "manifest.txt"), "w", newline="\n") as m:
        for name in sorted(archives):
            m.write("archive %s\n" % name)
            # Info-ZIP zip stores the modification time as a Unix time in a
            # "UT" extra field, so the extracted files must carry it exactly.
            if name.startswith("zip_"):
                m.write("modified %d\n" % FIXED_TIME)
            for info in zipfile.ZipFile(archives[name]).infolist():
                m.write("item %s\n" % info.filename)


if __name__ == "__main__":
    main()
