#include "zip_view.h"

#include <algorithm>

namespace {

const uint32_t kCentralSignature = 0x02014B50;
const uint32_t kLocalSignature = 0x04034B50;
const uint32_t kDescriptorSignature = 0x08074B50;
const uint32_t kSearchReach = 0xFFFF;

bool Inside(const std::string &image, uint64_t at, uint64_t length) { return at + length <= image.size(); }

// The end record search as the reader does it: the occurrence nearest the
// end, starting within the last 65,535 bytes, never at offset 0.
bool FindEndRecord(const std::string &image, uint32_t *at) {
  uint32_t size = (uint32_t)image.size();
  uint32_t reach = std::min(size, kSearchReach);
  if (reach <= 4) return false;
  size_t found = image.rfind(std::string("PK\x05\x06", 4));
  if (found == std::string::npos || found == 0 || found < size - reach) return false;
  *at = (uint32_t)found;
  return true;
}

// Extra-field records: the 2-byte data size of each, as far as they fit.
void ExtraSizeFields(const std::string &image, uint32_t begin, uint32_t length, const std::string &owner,
                     std::vector<Field> *fields) {
  uint32_t at = 0;
  int n = 0;
  while (at + 4 <= length) {
    fields->push_back(Field{begin + at + 2, 2, owner + ".extra[" + std::to_string(n) + "].size"});
    at += 4 + ReadLe(image, begin + at + 2, 2);
    n++;
  }
}

}  // namespace

uint32_t ReadLe(const std::string &image, uint32_t at, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; i++) {
    uint64_t o = (uint64_t)at + i;
    uint32_t byte = o < image.size() ? (unsigned char)image[o] : 0;
    value |= byte << (8 * i);
  }
  return value;
}

void WriteLe(std::string &image, uint32_t at, int width, uint32_t value) {
  for (int i = 0; i < width; i++) image[at + i] = (char)(value >> (8 * i));
}

ArchiveView ViewArchive(const std::string &image) {
  ArchiveView v;
  // Without an end record the reader still reads the end record's fields,
  // at offset 0: they decide between ZS_IO_ERROR and ZS_BAD_ARCHIVE.
  v.endFound = FindEndRecord(image, &v.endRecord);
  uint32_t e = v.endRecord;
  v.thisDisk = (uint16_t)ReadLe(image, e + 4, 2);
  v.directoryDisk = (uint16_t)ReadLe(image, e + 6, 2);
  v.recordsOnDisk = (uint16_t)ReadLe(image, e + 8, 2);
  v.totalRecords = (uint16_t)ReadLe(image, e + 10, 2);
  v.directorySize = ReadLe(image, e + 12, 4);
  v.directoryOffset = ReadLe(image, e + 16, 4);
  v.commentLength = (uint16_t)ReadLe(image, e + 20, 2);
  v.bytesBeforeArchive = e - v.directoryOffset - v.directorySize;
  if (!v.endFound) return v;

  uint32_t offset = v.directoryOffset;  // archive offset, 32-bit like the reader's
  for (uint32_t k = 0; k < v.recordsOnDisk; k++) {
    RecordView r;
    r.at = v.bytesBeforeArchive + offset;
    if (!Inside(image, r.at, 4) || ReadLe(image, r.at, 4) != kCentralSignature) break;
    r.flags = (uint16_t)ReadLe(image, r.at + 8, 2);
    r.method = (uint16_t)ReadLe(image, r.at + 10, 2);
    r.crc = ReadLe(image, r.at + 16, 4);
    r.compressedSize = ReadLe(image, r.at + 20, 4);
    r.uncompressedSize = ReadLe(image, r.at + 24, 4);
    r.nameLength = (uint16_t)ReadLe(image, r.at + 28, 2);
    r.extraLength = (uint16_t)ReadLe(image, r.at + 30, 2);
    r.commentLength = (uint16_t)ReadLe(image, r.at + 32, 2);
    r.externalAttributes = ReadLe(image, r.at + 38, 4);
    r.localHeaderOffset = ReadLe(image, r.at + 42, 4);
    r.nameInImage = Inside(image, (uint64_t)r.at + 46, r.nameLength);
    if (r.nameInImage) r.name = image.substr((size_t)r.at + 46, r.nameLength);
    v.records.push_back(r);
    offset += 46 + r.nameLength + r.extraLength + r.commentLength;
  }
  return v;
}

bool MapSeed(const std::string &image, SeedMap *map, std::string *why) {
  *map = SeedMap();
  ArchiveView v = ViewArchive(image);
  if (!v.endFound || v.records.size() != v.recordsOnDisk) {
    *why = "no end record, or central records missing";
    return false;
  }
  uint32_t e = v.endRecord;
  uint32_t directoryStart = v.bytesBeforeArchive + v.directoryOffset;
  map->headerRanges.push_back({directoryStart, directoryStart + v.directorySize});
  map->headerRanges.push_back({e, (uint32_t)image.size()});
  Field onDisk{e + 8, 2, "end.recordsOnDisk"}, total{e + 10, 2, "end.totalRecords"};
  map->fields.push_back(onDisk);
  map->fields.push_back(total);
  map->fields.push_back(Field{e + 12, 4, "end.directorySize"});
  map->fields.push_back(Field{e + 16, 4, "end.directoryOffset"});
  map->fields.push_back(Field{e + 20, 2, "end.commentLength"});
  map->pairs.push_back(FieldPair{onDisk, total, "end.recordCounts"});

  for (size_t k = 0; k < v.records.size(); k++) {
    const RecordView &r = v.records[k];
    std::string c = "central[" + std::to_string(k) + "]";
    std::string l = "local[" + std::to_string(k) + "]";
    Field cCompressed{r.at + 20, 4, c + ".compressedSize"}, cUncompressed{r.at + 24, 4, c + ".uncompressedSize"};
    Field cName{r.at + 28, 2, c + ".nameLength"};
    map->fields.push_back(cCompressed);
    map->fields.push_back(cUncompressed);
    map->fields.push_back(cName);
    map->fields.push_back(Field{r.at + 30, 2, c + ".extraLength"});
    map->fields.push_back(Field{r.at + 32, 2, c + ".commentLength"});
    map->fields.push_back(Field{r.at + 42, 4, c + ".localHeaderOffset"});
    ExtraSizeFields(image, r.at + 46 + r.nameLength, r.extraLength, c, &map->fields);
    if (r.IsDirectory()) map->directoryNames.push_back({r.at + 46, r.at + 46 + r.nameLength});

    uint32_t local = v.bytesBeforeArchive + r.localHeaderOffset;
    if (!Inside(image, local, 30) || ReadLe(image, local, 4) != kLocalSignature) {
      *why = l + ": no local header";
      return false;
    }
    uint32_t localFlags = ReadLe(image, local + 6, 2);
    uint32_t nameLength = ReadLe(image, local + 26, 2), extraLength = ReadLe(image, local + 28, 2);
    uint32_t data = local + 30 + nameLength + extraLength;
    if (!Inside(image, data, r.compressedSize)) {
      *why = l + ": entry data past the end";
      return false;
    }
    Field lCompressed{local + 18, 4, l + ".compressedSize"}, lUncompressed{local + 22, 4, l + ".uncompressedSize"};
    Field lName{local + 26, 2, l + ".nameLength"};
    map->fields.push_back(lCompressed);
    map->fields.push_back(lUncompressed);
    map->fields.push_back(lName);
    map->fields.push_back(Field{local + 28, 2, l + ".extraLength"});
    ExtraSizeFields(image, local + 30 + nameLength, extraLength, l, &map->fields);
    map->pairs.push_back(FieldPair{cCompressed, lCompressed, "entry[" + std::to_string(k) + "].compressedSize"});
    map->pairs.push_back(FieldPair{cUncompressed, lUncompressed, "entry[" + std::to_string(k) + "].uncompressedSize"});
    map->pairs.push_back(FieldPair{cName, lName, "entry[" + std::to_string(k) + "].nameLength"});
    map->headerRanges.push_back({local, data});
    if (r.compressedSize) map->dataRanges.push_back({data, data + r.compressedSize});

    uint32_t after = data + r.compressedSize;
    if (localFlags & 8) {
      // Data descriptor, with or without its optional signature.
      bool signed_ = ReadLe(image, after, 4) == kDescriptorSignature;
      uint32_t sizes = after + (signed_ ? 8 : 4);
      uint32_t length = signed_ ? 16 : 12;
      if (!Inside(image, after, length)) {
        *why = l + ": data descriptor past the end";
        return false;
      }
      map->headerRanges.push_back({after, after + length});
      map->fields.push_back(Field{sizes, 4, "descriptor[" + std::to_string(k) + "].compressedSize"});
      map->fields.push_back(Field{sizes + 4, 4, "descriptor[" + std::to_string(k) + "].uncompressedSize"});
    }
  }
  std::sort(map->headerRanges.begin(), map->headerRanges.end());
  return true;
}
