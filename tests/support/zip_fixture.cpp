#include "zip_fixture.h"

#include <string.h>
#include <zlib.h>

namespace {

void Add16(std::string &s, uint16_t v) {
  s += (char)(v & 0xFF);
  s += (char)(v >> 8);
}

void Add32(std::string &s, uint32_t v) {
  Add16(s, (uint16_t)(v & 0xFFFF));
  Add16(s, (uint16_t)(v >> 16));
}

}  // namespace

void PutU16(std::string &s, size_t at, uint16_t v) {
  s[at] = (char)(v & 0xFF);
  s[at + 1] = (char)(v >> 8);
}

void PutU32(std::string &s, size_t at, uint32_t v) {
  PutU16(s, at, (uint16_t)(v & 0xFFFF));
  PutU16(s, at + 2, (uint16_t)(v >> 16));
}

uint32_t Crc32Of(const std::string &data) {
  return (uint32_t)crc32(0, (const Bytef *)data.data(), (uInt)data.size());
}

static std::string Deflate(const std::string &data, int level, int flush) {
  z_stream z;
  memset(&z, 0, sizeof z);
  deflateInit2(&z, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, (uLong)data.size()) + 64, '\0');
  z.next_in = (Bytef *)data.data();
  z.avail_in = (uInt)data.size();
  z.next_out = (Bytef *)&out[0];
  z.avail_out = (uInt)out.size();
  deflate(&z, flush);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string RawDeflate(const std::string &data, int level) { return Deflate(data, level, Z_FINISH); }

std::string RawDeflateFlushed(const std::string &data) { return Deflate(data, 9, Z_SYNC_FLUSH); }

FixtureEntry MakeEntry(const std::string &name, const std::string &data, uint16_t method) {
  FixtureEntry e;
  e.name = name;
  e.data = data;
  e.method = method;
  return e;
}

std::string SampleData(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 12345;
  for (size_t i = 0; i < size; i++) {
    x = x * 1103515245u + 12345;
    // Mostly a small alphabet, so that deflate finds something to do.
    s[i] = (char)((x >> 24) % 16 < 12 ? 'a' + (x >> 16) % 8 : (x >> 8) & 0xFF);
  }
  return s;
}

std::string ExtraRecord(uint16_t id, const std::string &data) {
  std::string s;
  Add16(s, id);
  Add16(s, (uint16_t)data.size());
  return s + data;
}

std::string UtExtra(uint8_t flags, const std::vector<int32_t> &times) {
  std::string data(1, (char)flags);
  for (int32_t t : times) Add32(data, (uint32_t)t);
  return ExtraRecord(0x5455, data);
}

std::string ZipFixture::Build(FixtureLayout *layout) const {
  FixtureLayout local;
  FixtureLayout &lay = layout ? *layout : local;
  lay = FixtureLayout();
  std::string out = prefix;
  std::string central;
  for (const FixtureEntry &e : entries) {
    std::string packed = e.packedData ? *e.packedData
                         : e.method == 8 ? RawDeflate(e.data)
                                         : e.data;
    uint32_t crc = e.crc ? *e.crc : Crc32Of(e.data);
    uint32_t csize = e.compressedSize ? *e.compressedSize : (uint32_t)packed.size();
    uint32_t usize = e.uncompressedSize ? *e.uncompressedSize : (uint32_t)e.data.size();
    uint16_t flags = (uint16_t)(e.flags | (e.dataDescriptor ? 8 : 0));
    const std::string &localName = e.localName ? *e.localName : e.name;
    uint32_t localOffset = (uint32_t)(out.size() - prefix.size());
    lay.localHeader.push_back((uint32_t)out.size());
    Add32(out, 0x04034B50);
    Add16(out, e.versionNeeded);
    Add16(out, flags);
    Add16(out, e.localMethod ? *e.localMethod : e.method);
    Add32(out, e.dosDateTime);
    Add32(out, e.dataDescriptor ? 0 : crc);
    Add32(out, e.dataDescriptor ? 0 : csize);
    Add32(out, e.dataDescriptor ? 0 : usize);
    Add16(out, (uint16_t)localName.size());
    Add16(out, (uint16_t)e.localExtra.size());
    out += localName + e.localExtra;
    lay.dataOffset.push_back((uint32_t)out.size());
    out += packed;
    if (e.dataDescriptor) {
      Add32(out, 0x08074B50);
      Add32(out, crc);
      Add32(out, csize);
      Add32(out, usize);
    }
    std::string rec;
    Add32(rec, 0x02014B50);
    Add16(rec, e.versionMadeBy);
    Add16(rec, e.versionNeeded);
    Add16(rec, flags);
    Add16(rec, e.method);
    Add32(rec, e.dosDateTime);
    Add32(rec, crc);
    Add32(rec, csize);
    Add32(rec, usize);
    Add16(rec, (uint16_t)e.name.size());
    Add16(rec, (uint16_t)e.centralExtra.size());
    Add16(rec, (uint16_t)e.comment.size());
    Add16(rec, 0);
    Add16(rec, e.internalAttributes);
    Add32(rec, e.externalAttributes);
    Add32(rec, localOffset);
    rec += e.name + e.centralExtra + e.comment;
    central += rec;
  }
  uint32_t directoryStart = (uint32_t)(out.size() - prefix.size());
  lay.directoryOffset = (uint32_t)out.size();
  uint32_t recordAt = (uint32_t)out.size();
  for (const FixtureEntry &e : entries) {
    lay.centralRecord.push_back(recordAt);
    recordAt += 46 + (uint32_t)(e.name.size() + e.centralExtra.size() + e.comment.size());
  }
  out += central;
  lay.endRecord = (uint32_t)out.size();
  uint16_t count = (uint16_t)entries.size();
  Add32(out, 0x06054B50);
  Add16(out, thisDisk ? *thisDisk : 0);
  Add16(out, directoryDisk ? *directoryDisk : 0);
  Add16(out, recordsOnDisk ? *recordsOnDisk : count);
  Add16(out, totalRecords ? *totalRecords : count);
  Add32(out, directorySize ? *directorySize : (uint32_t)central.size());
  Add32(out, directoryOffset ? *directoryOffset : directoryStart);
  Add16(out, commentLength ? *commentLength : (uint16_t)archiveComment.size());
  out += archiveComment;
  return out;
}
