// Writes ZIP archives in memory, field by field, for the tests.
//
// Every field that a test may want wrong can be overridden per entry; the
// layout tells where each record landed so that a test can corrupt a single
// field of the finished image.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

struct FixtureEntry {
  std::string name;
  std::string data;                  // uncompressed content
  uint16_t method = 8;               // 0 stored, 8 deflated (other values: stored bytes)
  uint16_t flags = 0x0002;
  uint16_t versionMadeBy = 0x0B17;
  uint16_t versionNeeded = 20;
  uint32_t dosDateTime = 0x4D0672D7; // date in the high half
  uint32_t externalAttributes = 0x81800000;
  uint16_t internalAttributes = 0;
  std::string localExtra;            // extra field after the local name
  std::string centralExtra;          // extra field after the central name
  std::string comment;               // entry comment (central only)
  bool dataDescriptor = false;       // bit 3: zero CRC and sizes locally, descriptor after data

  // Overrides of what the writer would compute.
  std::optional<std::string> packedData;     // entry data as stored in the archive
  std::optional<uint32_t> crc;               // both headers
  std::optional<uint32_t> compressedSize;    // both headers
  std::optional<uint32_t> uncompressedSize;  // both headers
  std::optional<uint16_t> localMethod;
  std::optional<std::string> localName;
};

struct FixtureLayout {
  std::vector<uint32_t> localHeader;    // offset of each local header in the image
  std::vector<uint32_t> dataOffset;     // offset of each entry's data
  std::vector<uint32_t> centralRecord;  // offset of each central record
  uint32_t directoryOffset = 0;         // in the image (prefix included)
  uint32_t endRecord = 0;               // offset of the end record
};

struct ZipFixture {
  std::string prefix;                   // bytes before the archive
  std::vector<FixtureEntry> entries;
  std::string archiveComment;
  // End record overrides.
  std::optional<uint16_t> thisDisk, directoryDisk, recordsOnDisk, totalRecords;
  std::optional<uint32_t> directorySize, directoryOffset;
  std::optional<uint16_t> commentLength;

  std::string Build(FixtureLayout *layout = nullptr) const;
};

// An entry with the writer's defaults but for its name, content and method.
FixtureEntry MakeEntry(const std::string &name, const std::string &data, uint16_t method = 0);

// An extended-timestamp ("UT") extra record: flags, then the given times.
std::string UtExtra(uint8_t flags, const std::vector<int32_t> &times);
// An extra record with any ID and data.
std::string ExtraRecord(uint16_t id, const std::string &data);
// Raw deflate (no zlib header) at the given level.
std::string RawDeflate(const std::string &data, int level = 9);
// Raw deflate ending in a sync flush without a final block: the bit stream
// stops at a byte boundary right after the last byte, so whatever is appended
// is the next thing inflate reads.
std::string RawDeflateFlushed(const std::string &data);
uint32_t Crc32Of(const std::string &data);
// Deterministic content that compresses somewhat, of the given size.
std::string SampleData(size_t size, uint32_t seed = 1);

void PutU16(std::string &s, size_t at, uint16_t v);
void PutU32(std::string &s, size_t at, uint32_t v);
