// The robustness suite's own reading of an archive image, independent of
// the archive reader under test.
//
// ViewArchive finds what the reader would find (the end record nearest the
// end within the last 65,535 bytes and not at offset 0; central records
// walked one after the other by their own lengths, bytes past the image
// reading as zero) so that the suite can tell which central record stands
// behind item i of a mutated image, and check the item's bytes against that
// record's size and CRC-32.
//
// MapSeed reads a well-formed seed once more and lists where its fields
// lie: the header bytes to mutate, the entry data to flip bits in, and the
// size, offset, count and length fields to set to edge values.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct RecordView {
  uint32_t at = 0;           // image offset of the record
  uint16_t flags = 0, method = 0;
  uint32_t crc = 0, compressedSize = 0, uncompressedSize = 0;
  uint16_t nameLength = 0, extraLength = 0, commentLength = 0;
  uint32_t externalAttributes = 0, localHeaderOffset = 0;
  bool nameInImage = false;  // all nameLength bytes lie inside the image
  std::string name;          // as stored (when nameInImage)
  bool IsDirectory() const { return (externalAttributes & 0x10) || (externalAttributes & 0x40000000); }
};

struct ArchiveView {
  bool endFound = false;
  uint32_t endRecord = 0;
  uint16_t thisDisk = 0, directoryDisk = 0, recordsOnDisk = 0, totalRecords = 0, commentLength = 0;
  uint32_t directorySize = 0, directoryOffset = 0;
  uint32_t bytesBeforeArchive = 0;
  // Records in walk order, as far as the walk gets: it stops before the
  // first record whose signature is not "PK\1\2" inside the image.
  std::vector<RecordView> records;
};

ArchiveView ViewArchive(const std::string &image);

struct Field {
  uint32_t at;        // image offset
  int width;          // 2 or 4 bytes
  std::string label;  // e.g. "central[2].compressedSize"
};

// Two fields that must change together to get past the reader's first
// consistency test (a central size and its local copy, the two record
// counts of the end record).
struct FieldPair {
  Field first, second;
  std::string label;
};

struct SeedMap {
  std::vector<std::pair<uint32_t, uint32_t>> headerRanges;  // [begin, end): every byte not entry data
  std::vector<std::pair<uint32_t, uint32_t>> dataRanges;    // entry data
  std::vector<std::pair<uint32_t, uint32_t>> directoryNames;  // central names of directory entries
  std::vector<Field> fields;
  std::vector<FieldPair> pairs;
};

// Empty maps for images that are not well-formed archives.
bool MapSeed(const std::string &image, SeedMap *map, std::string *why);

uint32_t ReadLe(const std::string &image, uint32_t at, int width);  // zero past the end
void WriteLe(std::string &image, uint32_t at, int width, uint32_t value);
