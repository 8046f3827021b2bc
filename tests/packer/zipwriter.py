"""A field-by-field ZIP writer for the payload tests.

Every field a test may want wrong can be set per entry; what is not set is
computed the way a plain, correct archive has it. Independent of
tools/pack_payload.py on purpose: the tests must not take the packer's word
for what an archive looks like.
"""
import struct
import zlib


class ZEntry:
    def __init__(self, name, data=b"", **fields):
        self.name = name.encode("latin-1") if isinstance(name, str) else name
        self.data = data
        self.method = 8
        self.flags = 0x0002
        self.made_by = 0x0B17
        self.needed = 20
        self.dos_time = 0x72D7
        self.dos_date = 0x4D06
        self.external = 0x81800000
        self.local_extra = b""
        self.central_extra = b""
        self.comment = b""
        self.descriptor = False      # bit 3: zero CRC and sizes locally, descriptor after the data
        # Overrides of computed values (None: computed).
        self.packed = None           # entry data as stored
        self.crc = None              # both headers
        self.compressed = None       # both headers
        self.uncompressed = None     # both headers
        self.local_method = None
        self.local_name = None
        self.local_crc = None
        self.local_flags = None
        for key, value in fields.items():
            if not hasattr(self, key):
                raise AttributeError(key)
            setattr(self, key, value)


def directory(name, **fields):
    """A directory item as Info-ZIP writes one: stored, empty, Unix mode 0755
    and the MS-DOS directory bit."""
    for key, value in (("method", 0), ("flags", 0), ("external", 0x41ED0010)):
        fields.setdefault(key, value)
    return ZEntry(name, b"", **fields)


def raw_deflate(data, level=9):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def build(entries, prefix=b"", comment=b"", **end):
    """end: overrides of the end record (this_disk, directory_disk, on_disk,
    total, directory_size, directory_offset, comment_length)."""
    out = bytearray(prefix)
    central = bytearray()
    for e in entries:
        if e.packed is not None:
            packed = e.packed
        else:
            packed = raw_deflate(e.data) if e.method == 8 else e.data
        crc = e.crc if e.crc is not None else zlib.crc32(e.data) & 0xFFFFFFFF
        csize = e.compressed if e.compressed is not None else len(packed)
        usize = e.uncompressed if e.uncompressed is not None else len(e.data)
        flags = e.flags | (8 if e.descriptor else 0)
        local_flags = e.local_flags if e.local_flags is not None else flags
        local_crc = e.local_crc if e.local_crc is not None else crc
        lcrc, lcs, lus = (0, 0, 0) if e.descriptor else (local_crc, csize, usize)
        local_name = e.local_name if e.local_name is not None else e.name
        local_method = e.local_method if e.local_method is not None else e.method
        offset = len(out) - len(prefix)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, e.needed, local_flags, local_method,
                           e.dos_time, e.dos_date, lcrc, lcs, lus, len(local_name), len(e.local_extra))
        out += local_name + e.local_extra + packed
        if e.descriptor:
            out += struct.pack("<IIII", 0x08074B50, crc, csize, usize)
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e.made_by, e.needed, flags, e.method,
                               e.dos_time, e.dos_date, crc, csize, usize, len(e.name),
                               len(e.central_extra), len(e.comment), 0, 0, e.external, offset)
        central += e.name + e.central_extra + e.comment
    directory_offset = len(out) - len(prefix)
    out += central
    fields = dict(this_disk=0, directory_disk=0, on_disk=len(entries), total=len(entries),
                  directory_size=len(central), directory_offset=directory_offset,
                  comment_length=len(comment))
    fields.update(end)
    out += struct.pack("<IHHHHIIH", 0x06054B50, fields["this_disk"], fields["directory_disk"],
                       fields["on_disk"], fields["total"], fields["directory_size"],
                       fields["directory_offset"], fields["comment_length"])
    out += comment
    return bytes(out)
