#!/usr/bin/env python3
"""Derives the launcher's icon file from one source image.

The shell shows a 256x256 PNG on large views and small bitmaps everywhere
else, so the icon file holds five images in this order: a 256x256 PNG (8 bits
per channel, RGBA), then 64, 48, 32 and 16 pixel device-independent bitmaps
of 32 bits per pixel, each followed by its 1-bit mask. windres turns the file
into five icon resources and one group that lists them.

The source is a PNG of any size and colour type (not interlaced). A source
that is not square is centred on a transparent square. Scaling averages the
covered source area with premultiplied alpha, so edges keep their colour
instead of darkening.

The output depends on nothing but the source bytes: no time stamps, no
ancillary chunks, the same zlib settings every time; two runs give the same
file, which keeps the launcher build reproducible.

Usage: make_icons.py SOURCE.png OUTPUT.ico
"""
import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
BITMAP_SIZES = (64, 48, 32, 16)
PNG_SIZE = 256


class IconError(Exception):
    pass


# ---- PNG reading ----------------------------------------------------------------

def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _unfilter(raw, height, stride, bpp):
    rows = []
    prev = bytearray(stride)
    pos = 0
    for _ in range(height):
        kind = raw[pos]
        line = bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        if len(line) != stride:
            raise IconError("image data ends early")
        if kind == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 0xFF
        elif kind == 2:
            for i in range(stride):
                line[i] = (line[i] + prev[i]) & 0xFF
        elif kind == 3:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + ((left + prev[i]) >> 1)) & 0xFF
        elif kind == 4:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                upleft = prev[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + _paeth(left, prev[i], upleft)) & 0xFF
        elif kind != 0:
            raise IconError(f"unknown PNG filter {kind}")
        rows.append(line)
        prev = line
    return rows


def _samples(line, depth, count):
    """The row's samples scaled to 0..255 (16-bit keeps its high byte)."""
    if depth == 8:
        return list(line[:count])
    if depth == 16:
        return [line[2 * i] for i in range(count)]
    out = []
    per_byte = 8 // depth
    mask = (1 << depth) - 1
    for i in range(count):
        byte = line[i // per_byte]
        shift = 8 - depth * (i % per_byte + 1)
        out.append((byte >> shift) & mask)
    return out


def read_png(data):
    """Decodes a PNG into (width, height, RGBA bytes, top row first)."""
    if data[:8] != PNG_SIGNATURE:
        raise IconError("not a PNG file")
    pos = 8
    header = None
    palette = b""
    transparency = b""
    idat = bytearray()
    while pos + 8 <= len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = body
        elif kind == b"tRNS":
            transparency = body
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    if header is None:
        raise IconError("PNG without IHDR")
    width, height, depth, colour, _, _, interlace = header
    if interlace:
        raise IconError("interlaced PNG: save the source without interlacing")
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour)
    if channels is None or depth not in (1, 2, 4, 8, 16):
        raise IconError(f"unsupported PNG colour type {colour} / depth {depth}")
    bits = channels * depth
    stride = (width * bits + 7) // 8
    bpp = max(1, bits // 8)
    rows = _unfilter(zlib.decompress(bytes(idat)), height, stride, bpp)

    rgba = bytearray()
    grey_scale = 255 // ((1 << depth) - 1) if depth < 8 else 1
    for line in rows:
        s = _samples(line, depth, width * channels)
        for x in range(width):
            if colour == 6:
                rgba += bytes(s[4 * x:4 * x + 4])
            elif colour == 2:
                rgba += bytes(s[3 * x:3 * x + 3]) + b"\xff"
            elif colour == 4:
                g, a = s[2 * x], s[2 * x + 1]
                rgba += bytes((g, g, g, a))
            elif colour == 0:
                g = s[x] * grey_scale
                rgba += bytes((g, g, g, 255))
            else:
                i = s[x]
                r, g, b = palette[3 * i:3 * i + 3]
                a = transparency[i] if i < len(transparency) else 255
                rgba += bytes((r, g, b, a))
    return width, height, bytes(rgba)


# ---- Scaling ---------------------------------------------------------------------

def _weights(src, dst):
    """For each output position, the (source index, weight) pairs it covers."""
    scale = src / dst
    table = []
    for o in range(dst):
        start, end = o * scale, (o + 1) * scale
        pairs = []
        i = int(start)
        while i < end and i < src:
            cover = min(end, i + 1) - max(start, i)
            if cover > 0:
                pairs.append((i, cover / scale))
            i += 1
        table.append(pairs)
    return table


def square(width, height, rgba):
    """Centres a non-square image on a transparent square."""
    if width == height:
        return width, rgba
    side = max(width, height)
    left, top = (side - width) // 2, (side - height) // 2
    out = bytearray(side * side * 4)
    for y in range(height):
        row = rgba[y * width * 4:(y + 1) * width * 4]
        at = ((top + y) * side + left) * 4
        out[at:at + len(row)] = row
    return side, bytes(out)


def scale(side, rgba, size):
    """Area-average scaling of a square RGBA image, premultiplied alpha."""
    pre = []
    for p in range(side * side):
        r, g, b, a = rgba[4 * p:4 * p + 4]
        f = a / 255.0
        pre.append((r * f, g * f, b * f, float(a)))
    table = _weights(side, size)
    rows = []
    for y in range(side):
        base = y * side
        row = []
        for pairs in table:
            acc = [0.0, 0.0, 0.0, 0.0]
            for i, w in pairs:
                px = pre[base + i]
                for c in range(4):
                    acc[c] += px[c] * w
            row.append(acc)
        rows.append(row)
    out = bytearray()
    for pairs in table:
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for i, w in pairs:
                px = rows[i][x]
                for c in range(4):
                    acc[c] += px[c] * w
            a = acc[3]
            if a < 0.5:
                out += b"\0\0\0\0"
                continue
            unpre = [min(255, int(acc[c] * 255.0 / a + 0.5)) for c in range(3)]
            out += bytes(unpre + [min(255, int(a + 0.5))])
    return bytes(out)


# ---- Writing -----------------------------------------------------------------------

def _chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def write_png(size, rgba):
    """RGBA, 8 bits per channel, Paeth filter on every row, nothing but the
    three critical chunks."""
    raw = bytearray()
    stride = size * 4
    prev = bytes(stride)
    for y in range(size):
        line = rgba[y * stride:(y + 1) * stride]
        raw.append(4)
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            upleft = prev[i - 4] if i >= 4 else 0
            raw.append((line[i] - _paeth(left, prev[i], upleft)) & 0xFF)
        prev = line
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (PNG_SIGNATURE + _chunk(b"IHDR", header)
            + _chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + _chunk(b"IEND", b""))


def write_dib(size, rgba):
    """BITMAPINFOHEADER with twice the height, bottom-up BGRA rows, then the
    AND mask (1 = transparent) with rows padded to 32 bits."""
    mask_stride = (size + 31) // 32 * 4
    colour = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):
        bits = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = rgba[(y * size + x) * 4:(y * size + x) * 4 + 4]
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    return header + bytes(colour) + bytes(mask)


def write_ico(images):
    """images: (size, bytes) in order; 256 is written as 0 in the directory."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        body += data
    return out + body


def build_icon(source_bytes):
    width, height, rgba = read_png(source_bytes)
    side, rgba = square(width, height, rgba)
    big = rgba if side == PNG_SIZE else scale(side, rgba, PNG_SIZE)
    images = [(PNG_SIZE, write_png(PNG_SIZE, big))]
    for size in BITMAP_SIZES:
        images.append((size, write_dib(size, scale(side, rgba, size))))
    return write_ico(images)


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: make_icons.py SOURCE.png OUTPUT.ico")
    try:
        with open(argv[0], "rb") as f:
            icon = build_icon(f.read())
    except (OSError, IconError, zlib.error) as e:
        sys.exit(f"make_icons.py: {argv[0]}: {e}")
    with open(argv[1], "wb") as f:
        f.write(icon)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
