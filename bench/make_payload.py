#!/usr/bin/env python3
"""Writes the files of a shipped-like launcher payload, deterministically.

The shipped payload holds nine files whose names and sizes are fixed (the
table below). Their content is not ours to ship, so the benchmark builds
stand-ins that cost the same to unpack: what matters for speed is how much
comes out of how much deflate data, and of what kind.

- Executables and libraries: real 32-bit PE images, Wine's i386 DLLs,
  concatenated in name order and cut to size. Wine's images are built with
  page-aligned sections, debug information and a compiler that packs
  tighter than the shipped executables' (about 31% against their 41-50%), so
  every 32 KiB of them carries a share of seeded pseudo-random bytes, the
  way real programs carry already-compressed resources, chosen per file
  from the measured ratio of its PE bytes to give the shipped file's ratio. "/dw_dlr.exe" starts with a tiny real
  program (bench/stand_in.c) so that the launcher's final hand-off to the
  shell starts something that ends at once; the rest is padding that the
  loader never maps.
- "/download.torrent": a bencoded metainfo whose piece hashes are seeded
  pseudo-random bytes (incompressible, as real SHA-1 hashes are).
- "/downloader.skin": a real ZIP archive of an XML layout and stored
  "images" of pseudo-random bytes (already-compressed data).
- The INI files and "union.db": text ("/crashrpt_lang.ini" in UTF-16, as
  shipped).

--scale N multiplies every size by N. The same inputs give the same bytes on
every run; the PE stream depends on the installed Wine build, so the
benchmark records the payload's SHA-256 beside its results.

Usage: make_payload.py --scale N --stand-in stand_in.exe --out FOLDER
Writes FOLDER/<file> for every entry and FOLDER/payload.list, the packer's
list (PATH=NAME, shipped order).
"""
import argparse
import glob
import hashlib
import os
import sys
import zipfile
import zlib

PE_FOLDER = "/usr/lib/i386-linux-gnu/wine/i386-windows"

# Shipped order: name, size, kind, and for PE entries the shipped ratio
# (compressed / size) that the random share aims at.
ENTRIES = [
    ("/crashrpt_lang.ini", 5194, "utf16-ini", None),
    ("/CrashSender.exe", 1244536, "pe", 622400 / 1244536),
    ("/dbghelp.dll", 1085816, "pe", 468719 / 1085816),
    ("/download.torrent", 287428, "torrent", None),
    ("/downloader.skin", 759959, "skin", None),
    ("/dw_dlr.exe", 4856696, "pe", 2343849 / 4856696),
    ("/install.ini", 41, "install-ini", None),
    ("/wke.dll", 11718656, "pe", 4801909 / 11718656),
    ("union.db", 52, "union-db", None),
]
ARCHIVE_BIT_NAMES = ("/download.torrent", "union.db")

UNIT = 262144  # PE bytes and random bytes alternate within units of this size


def random_bytes(label, n):
    """n pseudo-random bytes, the same for the same label on every machine."""
    return hashlib.shake_128(label.encode()).digest(n)


class PeStream:
    """Wine's i386 DLLs, whole files in name order, read as one stream."""

    def __init__(self, folder):
        self.files = sorted(glob.glob(os.path.join(folder, "*.dll")))
        if not self.files:
            sys.exit(f"make_payload: no DLLs in {folder} (is wine32 installed?)")
        self.index = 0
        self.pending = b""

    def peek(self, n):
        """The next n bytes, left in the stream."""
        while len(self.pending) < n:
            if self.index == len(self.files):
                sys.exit("make_payload: the PE stream ran out; lower --scale")
            with open(self.files[self.index], "rb") as f:
                self.pending += f.read()
            self.index += 1
        return self.pending[:n]

    def take(self, n):
        data = self.peek(n)
        self.pending = self.pending[n:]
        return data


def deflate_ratio(data):
    """Compressed / original size at the packer's settings."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
    return len(compressor.compress(data) + compressor.flush()) / max(1, len(data))


def mix(pe_bytes, noise, size, share, head):
    """head, then units of PE bytes each followed by its share of random bytes.
    Returns the data and how many PE bytes it used."""
    random_per_unit = int(UNIT * share)
    out = bytearray(head)
    pe_used = noise_used = 0
    while len(out) < size:
        unit = min(UNIT, size - len(out))
        pe_part = unit - min(random_per_unit, unit)
        out += pe_bytes[pe_used:pe_used + pe_part]
        out += noise[noise_used:noise_used + unit - pe_part]
        pe_used += pe_part
        noise_used += unit - pe_part
    return bytes(out[:size]), pe_used


def pe_like(stream, name, size, target_ratio, head=b""):
    """head, then PE bytes with the random share that lands near target_ratio.

    Random runs break the PE bytes' matches a little, so the share is found
    by measuring: start from the PE bytes' own ratio r (a share s gives
    about s + (1 - s) * r) and correct by what the mix really gives."""
    pe_bytes = stream.peek(size)
    noise = random_bytes("pe:" + name + ":" + str(size), size)
    pe_ratio = deflate_ratio(pe_bytes)
    share = max(0.0, (target_ratio - pe_ratio) / (1.0 - pe_ratio))
    for _ in range(4):
        data, pe_used = mix(pe_bytes, noise, size, share, head)
        error = target_ratio - deflate_ratio(data)
        if abs(error) < 0.003:
            break
        share = min(1.0, max(0.0, share + error / (1.0 - pe_ratio)))
    stream.take(pe_used)
    return data


def repeat_text(lines, size, encoding):
    """Numbered lines of text until size bytes; cut at size."""
    out = bytearray()
    if encoding == "utf-16-le":
        out += b"\xff\xfe"
    i = 0
    while len(out) < size:
        out += lines[i % len(lines)].format(n=i).encode(encoding)
        i += 1
    return bytes(out[:size])


def crashrpt_lang(size):
    lines = [
        "[Section{n}]\r\n",
        "DlgCaption{n}=Error report for the downloader\r\n",
        "Header{n}=The program stopped working because of an error.\r\n",
        "WhatDoesReportContain{n}=What does this report contain?\r\n",
        "SendReport{n}=Send report\r\n",
        "CloseTheProgram{n}=Close the program\r\n",
    ]
    return repeat_text(lines, size, "utf-16-le")


def torrent(name, size):
    def bytestring(b):
        return str(len(b)).encode() + b":" + b
    head = (b"d8:announce" + bytestring(b"http://tracker.example.invalid/announce")
            + b"10:created by" + bytestring(b"bench") + b"4:infod6:lengthi" + str(size * 40).encode()
            + b"e4:name" + bytestring(b"tarnis") + b"12:piece lengthi262144e6:pieces")
    tail = b"ee"
    # The piece string's length prefix grows with its length: find the fit.
    n = size - len(head) - len(tail)
    while len(head) + len(str(n)) + 1 + n + len(tail) > size:
        n -= 1
    pieces = random_bytes("torrent:" + name + ":" + str(size), n)
    data = head + bytestring(pieces) + tail
    return data + b" " * (size - len(data))


def skin(name, size, scratch):
    """A ZIP archive of a layout and stored images, exactly size bytes."""
    layout = repeat_text(['<widget id="w{n}" x="{n}" y="12" w="96" h="24" image="btn{n}.png"/>\n'],
                         size // 25, "ascii")
    images = 8

    def build(last_length):
        with zipfile.ZipFile(scratch, "w") as z:
            info = zipfile.ZipInfo("skin.xml", date_time=(2018, 8, 6, 14, 22, 46))
            info.compress_type = zipfile.ZIP_STORED  # so the payload's deflate finds its text
            z.writestr(info, layout)
            body = size // images
            for i in range(images):
                length = body if i < images - 1 else last_length
                info = zipfile.ZipInfo(f"img/btn{i}.png", date_time=(2018, 8, 6, 14, 22, 46))
                info.compress_type = zipfile.ZIP_STORED
                z.writestr(info, random_bytes(f"skin:{name}:{size}:{i}", length))
        with open(scratch, "rb") as f:
            return f.read()

    trial = build(0)
    data = build(size - len(trial))
    os.remove(scratch)
    if len(data) != size:
        sys.exit(f"make_payload: skin came out {len(data)} bytes, wanted {size}")
    return data


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=int, default=1)
    parser.add_argument("--stand-in", required=True, help="the tiny program that starts dw_dlr.exe")
    parser.add_argument("--out", required=True)
    parser.add_argument("--pe-folder", default=PE_FOLDER)
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    with open(args.stand_in, "rb") as f:
        stand_in = f.read()
    stream = PeStream(args.pe_folder)
    listing = []
    for name, base_size, kind, ratio in ENTRIES:
        size = base_size * args.scale
        if kind == "pe":
            head = stand_in if name == "/dw_dlr.exe" else b""
            data = pe_like(stream, name, size, ratio, head)
        elif kind == "utf16-ini":
            data = crashrpt_lang(size)
        elif kind == "torrent":
            data = torrent(name, size)
        elif kind == "skin":
            data = skin(name, size, os.path.join(args.out, "skin.tmp"))
        elif kind == "install-ini":
            data = repeat_text(["[Install]\r\nVersion=1.0.0.{n}\r\nChannel=1\r\n"], size, "ascii")
        else:
            data = repeat_text(["union={n};server=cn{n};port=8001\r\n"], size, "ascii")
        assert len(data) == size, name
        path = os.path.join(args.out, name.lstrip("/"))
        with open(path, "wb") as f:
            f.write(data)
        listing.append(f"{os.path.abspath(path)}={name}")
    with open(os.path.join(args.out, "payload.list"), "w") as f:
        f.write("\n".join(listing) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
