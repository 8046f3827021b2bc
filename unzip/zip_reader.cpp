// Central directory reader: sources, record readers and the directory walk.
#include "zip_reader.h"

#include <string.h>

#include "rt.h"
#include "zip_stream.h"

int ZipOpenStatus = 0;

namespace {

const unsigned kEndSignature = 0x06054B50;      // "PK\5\6"
const unsigned kCentralSignature = 0x02014B50;  // "PK\1\2"
const unsigned kLocalSignature = 0x04034B50;    // "PK\3\4"
const unsigned kCentralFixedSize = 46;
const unsigned kLocalFixedSize = 30;
const unsigned kSearchBlock = 1024;
const unsigned kSearchReach = 0xFFFF;
const unsigned kGeneralFlagDescriptor = 8;  // bit 3: CRC and sizes follow the data

// Records keep one status: a failed read replaces a format error.
void NoteReadFailure(int *status) { *status = ZS_IO_ERROR; }

void NoteFormatError(int *status) {
  if (*status == ZS_OK) *status = ZS_BAD_ARCHIVE;
}

void FreeSource(ZipSource *source) {
  if (source->usesHandle) CloseHandle(source->fileHandle);
  RtFree(source);
}

void BreakDownDosTime(ZipEntryHeader *h) {
  unsigned v = h->dosDateTime;
  h->second = (int)(v & 0x1F) * 2;
  h->minute = (int)((v >> 5) & 0x3F);
  h->hour = (int)((v >> 11) & 0x1F);
  h->day = (int)((v >> 16) & 0x1F);
  h->month = (int)((v >> 21) & 0x0F) - 1;
  h->year = (int)((v >> 25) & 0x7F) + 1980;
}

// Reads a 16-bit field into a widened value; a failed read leaves 0.
void ReadField16(ZipSource *source, unsigned *field, int *status) {
  if (ReadSourceShort(source, field) != ZS_OK) NoteReadFailure(status);
}

void ReadField32(ZipSource *source, unsigned *field, int *status) {
  if (ReadSourceLong(source, field) != ZS_OK) NoteReadFailure(status);
}

// Source size for the end record search; 0 when it cannot be had.
unsigned SourceSize(ZipSource *source) {
  if (!source->usesHandle) {
    source->position = source->dataSize;
    return source->dataSize;
  }
  if (!source->seekable) return 0;
  SetFilePointer(source->fileHandle, 0, 0, FILE_END);
  DWORD end = SetFilePointer(source->fileHandle, 0, 0, FILE_CURRENT);
  if (end == INVALID_SET_FILE_POINTER) return 0;
  return end - source->baseOffset;
}

}  // namespace

// ---- Source access --------------------------------------------------------------

int SeekSource(ZipSource *source, unsigned offset) {
  if (!source->usesHandle) {
    source->position = offset;
    return 1;
  }
  if (!source->seekable) return 0;
  SetFilePointer(source->fileHandle, (LONG)(source->baseOffset + offset), 0, FILE_BEGIN);
  return 1;
}

unsigned ReadSource(void *buffer, unsigned itemSize, unsigned itemCount, ZipSource *source) {
  if (itemSize == 0) return 0;
  unsigned long long wanted64 = (unsigned long long)itemSize * itemCount;
  if (wanted64 > 0xFFFFFFFFu) return 0;
  unsigned wanted = (unsigned)wanted64;
  unsigned got = 0;
  if (source->usesHandle) {
    DWORD read = 0;
    if (!ReadFile(source->fileHandle, buffer, wanted, &read, 0)) {
      source->readFailed = 1;
      read = 0;
    }
    got = read;
  } else {
    // Never a byte outside the image, whatever position a record pointed at.
    unsigned left = source->position < source->dataSize ? source->dataSize - source->position : 0;
    got = wanted < left ? wanted : left;
    if (got) {
      memcpy(buffer, source->data + source->position, got);
      source->position += got;
    }
  }
  return got / itemSize;
}

int ReadSourceByte(ZipSource *source, int *value) {
  unsigned char byte;
  if (ReadSource(&byte, 1, 1, source) == 1) {
    *value = byte;
    return ZS_OK;
  }
  return (source->usesHandle && source->readFailed) ? ZS_IO_ERROR : ZS_OK;
}

// Bytes past the end of the data read as 0: the status stays ZS_OK there,
// and a field cut off by the end of a memory image is then caught by the
// consistency tests of the records, not by a read error.
static int ReadSourceBytes(ZipSource *source, unsigned count, unsigned *value) {
  unsigned result = 0;
  for (unsigned i = 0; i < count; i++) {
    int byte = 0;
    if (ReadSourceByte(source, &byte) != ZS_OK) {
      *value = 0;
      return ZS_IO_ERROR;
    }
    result |= (unsigned)byte << (8 * i);
  }
  *value = result;
  return ZS_OK;
}

int ReadSourceShort(ZipSource *source, unsigned *value) { return ReadSourceBytes(source, 2, value); }

int ReadSourceLong(ZipSource *source, unsigned *value) { return ReadSourceBytes(source, 4, value); }

// ---- End record search and open -----------------------------------------------

unsigned LocateEndOfDirectory(ZipSource *source) {
  unsigned size = SourceSize(source);
  unsigned reach = size < kSearchReach ? size : kSearchReach;
  unsigned char *block = (unsigned char *)RtAlloc(kSearchBlock + 4);
  if (!block) return 0;
  unsigned found = 0;
  // Blocks move from the end towards the start and overlap by 4 bytes, so a
  // signature across a block border is still seen; the match nearest the
  // end wins. A match at offset 0 counts as none.
  unsigned back = 4;
  while (reach > 4 && back < reach && !found) {
    back = back + kSearchBlock < reach ? back + kSearchBlock : reach;
    unsigned readPos = size - back;
    unsigned readSize = size - readPos < kSearchBlock + 4 ? size - readPos : kSearchBlock + 4;
    if (!SeekSource(source, readPos)) break;
    if (ReadSource(block, readSize, 1, source) != 1) break;
    for (unsigned i = readSize - 4 + 1; i-- > 0;) {
      if (block[i] == 0x50 && block[i + 1] == 0x4B && block[i + 2] == 0x05 && block[i + 3] == 0x06) {
        found = readPos + i;
        break;
      }
    }
  }
  RtFree(block);
  return found;
}

ZipReader *OpenZipReader(ZipSource *source) {
  ZipOpenStatus = ZS_OK;
  if (!source) {
    ZipOpenStatus = 0x10000;  // the interface layer's "bad argument"
    return 0;
  }
  int status = ZS_OK;
  unsigned end = LocateEndOfDirectory(source);
  if (end == 0) status = ZS_IO_ERROR;  // the fields are still read, at offset 0
  if (!SeekSource(source, end)) status = ZS_IO_ERROR;

  unsigned signature = 0, thisDisk = 0, directoryDisk = 0, recordsOnDisk = 0, totalRecords = 0;
  ReadField32(source, &signature, &status);      // matched by the search already
  ReadField16(source, &thisDisk, &status);       // number of this disk
  ReadField16(source, &directoryDisk, &status);  // disk where the central directory starts
  ReadField16(source, &recordsOnDisk, &status);  // central directory records on this disk
  ReadField16(source, &totalRecords, &status);   // total central directory records
  if (totalRecords != recordsOnDisk || directoryDisk != 0 || thisDisk != 0) status = ZS_BAD_ARCHIVE;

  unsigned directorySize = 0, directoryOffset = 0, commentLength = 0;
  ReadField32(source, &directorySize, &status);    // size of the central directory
  ReadField32(source, &directoryOffset, &status);  // offset of the central directory
  ReadField16(source, &commentLength, &status);    // archive comment length
  if (end + source->baseOffset < directoryOffset + directorySize && status == ZS_OK) status = ZS_BAD_ARCHIVE;

  ZipReader *reader = 0;
  if (status == ZS_OK) {
    reader = (ZipReader *)RtAlloc(sizeof(ZipReader));
    if (!reader) status = ZS_NO_MEMORY;
  }
  if (status != ZS_OK) {
    FreeSource(source);
    ZipOpenStatus = status;
    return 0;
  }
  memset(reader, 0, sizeof(ZipReader));
  reader->bytesBeforeArchive = end + source->baseOffset - directoryOffset - directorySize;
  source->baseOffset = 0;
  reader->source = source;
  reader->entryCount = recordsOnDisk;
  reader->archiveCommentLength = commentLength;
  reader->endRecordOffset = end;
  reader->directorySize = directorySize;
  reader->directoryOffset = directoryOffset;
  reader->openStream = 0;
  GoToFirstEntry(reader);  // a bad first record only leaves currentEntryValid clear
  return reader;
}

// ---- Central records --------------------------------------------------------------

int ReadEntryHeader(ZipReader *reader, ZipEntryHeader *header, unsigned *localOffset,
                    char *nameBuffer, unsigned nameBufferSize) {
  if (!reader) return ZS_BAD_ARGUMENT;
  ZipSource *source = reader->source;
  unsigned recordAt = reader->bytesBeforeArchive + reader->currentRecordOffset;
  int status = ZS_OK;
  ZipEntryHeader h;
  if (!SeekSource(source, recordAt)) {
    status = ZS_IO_ERROR;
  } else {
    unsigned signature = 0;
    if (ReadSourceLong(source, &signature) != ZS_OK) NoteReadFailure(&status);
    else if (signature != kCentralSignature) NoteFormatError(&status);
  }
  ReadField16(source, &h.versionMadeBy, &status);      // version made by
  ReadField16(source, &h.versionNeeded, &status);      // version needed to extract
  ReadField16(source, &h.flags, &status);              // general purpose bit flag
  ReadField16(source, &h.method, &status);             // compression method
  ReadField32(source, &h.dosDateTime, &status);        // last mod file time and date
  BreakDownDosTime(&h);
  ReadField32(source, &h.crc, &status);                // crc-32
  ReadField32(source, &h.compressedSize, &status);     // compressed size
  ReadField32(source, &h.uncompressedSize, &status);   // uncompressed size
  ReadField16(source, &h.nameLength, &status);         // file name length
  ReadField16(source, &h.extraLength, &status);        // extra field length
  ReadField16(source, &h.commentLength, &status);      // file comment length
  ReadField16(source, &h.diskNumberStart, &status);    // disk number start
  ReadField16(source, &h.internalAttributes, &status); // internal file attributes
  ReadField32(source, &h.externalAttributes, &status); // external file attributes
  unsigned localHeader = 0;
  if (ReadSourceLong(source, &localHeader) != ZS_OK) return ZS_IO_ERROR;  // relative offset of local header
  if (status != ZS_OK) return status;

  if (nameBuffer && nameBufferSize && h.nameLength) {
    unsigned copy = h.nameLength;
    if (h.nameLength < nameBufferSize) nameBuffer[h.nameLength] = 0;
    else copy = nameBufferSize;  // no room for a terminator: the caller decides
    if (!SeekSource(source, recordAt + kCentralFixedSize)) return ZS_IO_ERROR;
    if (ReadSource(nameBuffer, copy, 1, source) != 1) return ZS_IO_ERROR;
  } else if (nameBuffer && nameBufferSize) {
    nameBuffer[0] = 0;
  }
  if (header) *header = h;
  if (localOffset) *localOffset = localHeader;
  return ZS_OK;
}

int GoToFirstEntry(ZipReader *reader) {
  if (!reader) return ZS_BAD_ARGUMENT;
  reader->currentRecordOffset = reader->directoryOffset;
  reader->currentIndex = 0;
  int status = ReadEntryHeader(reader, &reader->currentHeader, &reader->localHeaderOffset, 0, 0);
  reader->currentEntryValid = status == ZS_OK;
  return status;
}

void GoToNextEntry(ZipReader *reader) {
  if (!reader || !reader->currentEntryValid) return;
  if ((unsigned)reader->currentIndex + 1 >= reader->entryCount) return;
  const ZipEntryHeader &h = reader->currentHeader;
  reader->currentIndex++;
  reader->currentRecordOffset += kCentralFixedSize + h.nameLength + h.extraLength + h.commentLength;
  int status = ReadEntryHeader(reader, &reader->currentHeader, &reader->localHeaderOffset, 0, 0);
  reader->currentEntryValid = status == ZS_OK;
}

// ---- Local headers ----------------------------------------------------------------

int CheckLocalHeader(ZipReader *reader, unsigned *variableLength, unsigned *extraOffset,
                     unsigned *extraLength) {
  *variableLength = 0;
  *extraOffset = 0;
  *extraLength = 0;
  if (!reader) return ZS_BAD_ARGUMENT;
  ZipSource *source = reader->source;
  const ZipEntryHeader &central = reader->currentHeader;
  if (!SeekSource(source, reader->bytesBeforeArchive + reader->localHeaderOffset)) return ZS_IO_ERROR;

  int status = ZS_OK;
  unsigned signature = 0, version = 0, flags = 0, method = 0, dosDateTime = 0;
  unsigned crc = 0, compressedSize = 0, uncompressedSize = 0, nameLength = 0, extra = 0;
  if (ReadSourceLong(source, &signature) != ZS_OK) NoteReadFailure(&status);
  else if (signature != kLocalSignature) NoteFormatError(&status);
  ReadField16(source, &version, &status);  // version needed to extract: not checked
  ReadField16(source, &flags, &status);    // general purpose bit flag
  if (ReadSourceShort(source, &method) != ZS_OK) NoteReadFailure(&status);
  else if (method != central.method || (central.method != 0 && central.method != 8)) NoteFormatError(&status);
  ReadField32(source, &dosDateTime, &status);  // not compared
  // With bit 3 the CRC-32 and sizes may be zero here; they follow the data.
  int sizesKnown = !(flags & kGeneralFlagDescriptor);
  if (ReadSourceLong(source, &crc) != ZS_OK) NoteReadFailure(&status);
  else if (sizesKnown && crc != central.crc) NoteFormatError(&status);
  if (ReadSourceLong(source, &compressedSize) != ZS_OK) NoteReadFailure(&status);
  else if (sizesKnown && compressedSize != central.compressedSize) NoteFormatError(&status);
  if (ReadSourceLong(source, &uncompressedSize) != ZS_OK) NoteReadFailure(&status);
  else if (sizesKnown && uncompressedSize != central.uncompressedSize) NoteFormatError(&status);
  if (ReadSourceShort(source, &nameLength) != ZS_OK) NoteReadFailure(&status);
  else if (nameLength != central.nameLength) NoteFormatError(&status);
  ReadField16(source, &extra, &status);  // extra field length: reported, not compared

  *variableLength = nameLength + extra;
  *extraOffset = reader->localHeaderOffset + kLocalFixedSize + nameLength;
  *extraLength = extra;
  return status;
}

void CloseZipReader(ZipReader *reader) {
  if (!reader) return;
  if (reader->openStream) CloseEntryStream(reader);
  FreeSource(reader->source);
  RtFree(reader);
}
