// Handle interface and item records: OpenZipBuffer, GetZipItemInfo,
// CloseZipArchive and the archive object's Open, GetItem, Close.
#include "zip_archive.h"

#include <string.h>

#include "rt.h"

int LastZipResult = 0;

namespace {

const unsigned kExtraHeaderSize = 4;      // header ID and data size
const unsigned kTimestampId = 0x5455;     // "UT": extended timestamp
const unsigned kUnixFlagModify = 1;
const unsigned kUnixFlagAccess = 2;
const unsigned kUnixFlagCreate = 4;
const int kEarliestUnixTime = -43200;

unsigned Le16(const unsigned char *p) { return p[0] | (unsigned)p[1] << 8; }

unsigned Le32(const unsigned char *p) { return Le16(p) | Le16(p + 2) << 16; }

// MS-DOS date and time as they stand, no zone conversion. An impossible date
// gives the MS-DOS epoch, 1980-01-01 00:00:00, a defined and settable time.
FILETIME FileTimeFromDos(unsigned dosDateTime) {
  FILETIME ft;
  if (!DosDateTimeToFileTime((WORD)(dosDateTime >> 16), (WORD)(dosDateTime & 0xFFFF), &ft) &&
      !DosDateTimeToFileTime((1 << 5) | 1, 0, &ft)) {
    ft.dwLowDateTime = 0;
    ft.dwHighDateTime = 0;
  }
  return ft;
}

// Unix time to FILETIME through the UTC breakdown; 0 when the time is
// earlier than the breakdown accepts (the caller keeps its MS-DOS time).
int FileTimeFromUnix(long unixTime, FILETIME *out) {
  if (unixTime < kEarliestUnixTime) return 0;
  RtUtcTime utc;
  if (!RtUtcBreakdown(unixTime, &utc)) return 0;
  SYSTEMTIME st;
  memset(&st, 0, sizeof st);
  st.wYear = (WORD)utc.year;
  st.wMonth = (WORD)utc.month;
  st.wDay = (WORD)utc.day;
  st.wHour = (WORD)utc.hour;
  st.wMinute = (WORD)utc.minute;
  st.wSecond = (WORD)utc.second;
  SystemTimeToFileTime(&st, out);
  return 1;
}

// Applies the first extended-timestamp record of a local extra field. Only
// times that lie wholly inside the field are taken; the others keep their
// MS-DOS value.
void ApplyExtendedTimestamp(const unsigned char *extra, unsigned length, ZipItemInfoNarrow *record) {
  if (length <= kExtraHeaderSize) return;
  unsigned at = 0;
  for (;;) {
    unsigned id = Le16(extra + at);
    unsigned size = Le16(extra + at + 2);
    if (id == kTimestampId) {
      unsigned end = at + kExtraHeaderSize + size;  // the record's own end...
      if (end > length) end = length;               // ...never past the field
      unsigned pos = at + kExtraHeaderSize;
      if (pos >= end) return;
      unsigned flags = extra[pos++];
      FILETIME *targets[3] = {&record->modifyTime, &record->accessTime, &record->creationTime};
      const unsigned bits[3] = {kUnixFlagModify, kUnixFlagAccess, kUnixFlagCreate};
      for (int k = 0; k < 3; k++) {
        if (!(flags & bits[k])) continue;
        if (pos + 4 > end) return;
        FileTimeFromUnix((long)(int)Le32(extra + pos), targets[k]);
        pos += 4;
      }
      return;
    }
    unsigned next = at + kExtraHeaderSize + size;
    if (next + kExtraHeaderSize >= length) return;
    at = next;
  }
}

}  // namespace

// The external attributes hold two views of one file: the low byte is the
// MS-DOS attribute byte (0x01 read-only, 0x02 hidden, 0x04 system, 0x10
// directory, 0x20 archive), the high half the Unix mode of writers that
// record one (0x40000000: the directory type; 0x00800000: the owner's write
// permission). Either view can make an item a directory. The owner's write
// permission is what keeps an item writable: a payload is packed with Unix
// modes, and a file its owner may not write stays read-only once extracted,
// as does anything whose MS-DOS byte says so.
unsigned ZipAttributesFromExternal(unsigned external) {
  unsigned attributes = FILE_ATTRIBUTE_NORMAL;
  if ((external & 0x40000000) || (external & 0x10)) attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL;
  if (external & 0x20) attributes |= FILE_ATTRIBUTE_ARCHIVE;
  if (external & 0x2) attributes |= FILE_ATTRIBUTE_HIDDEN;
  if (!(external & 0x00800000) || (external & 0x1)) attributes |= FILE_ATTRIBUTE_READONLY;
  if (external & 0x4) attributes |= FILE_ATTRIBUTE_SYSTEM;
  return attributes;
}

// ---- Archive object --------------------------------------------------------------

int ZipArchive::Open(const void *buffer, unsigned length) {
  // The root for relative directories: the current directory and a
  // backslash. When both do not fit, the root stays empty, which makes
  // relative directories relative to the current directory of the moment.
  memset(rootDir, 0, sizeof rootDir);
  DWORD n = GetCurrentDirectoryW(LAUNCHER_PATH_SIZE, rootDir);
  if (n == 0 || n + 1 >= LAUNCHER_PATH_SIZE || rootDir[n] != 0) {
    memset(rootDir, 0, sizeof rootDir);
  } else {
    rootDir[n] = L'\\';
    rootDir[n + 1] = 0;
  }

  ZipSource *source = (ZipSource *)RtAlloc(sizeof(ZipSource));
  if (!source) return ZS_NO_MEMORY;
  memset(source, 0, sizeof *source);
  source->usesHandle = 0;
  source->seekable = 1;
  source->baseOffset = 0;
  source->data = (const unsigned char *)buffer;
  source->dataSize = length;
  source->position = 0;
  reader = OpenZipReader(source);  // frees the source when it fails
  return reader ? UZ_OK : ZipOpenStatus;
}

int ZipArchive::PositionOn(int index) {
  if (index < reader->currentIndex) GoToFirstEntry(reader);
  while (reader->currentIndex < index) {
    int before = reader->currentIndex;
    GoToNextEntry(reader);
    // A record on the way that cannot be read stops the walk for good.
    if (reader->currentIndex == before) return UZ_BAD_ENTRY;
  }
  return reader->currentEntryValid ? UZ_OK : UZ_BAD_ENTRY;
}

int ZipArchive::GetItem(int index, ZipItemInfoNarrow *record) {
  if (index < -1 || index >= (int)reader->entryCount || (int)reader->entryCount < 0) return UZ_BAD_ARGUMENT;
  if (index == cachedIndex && index != -1) {
    *record = cachedItem;
    return UZ_OK;
  }
  if (index == -1) {
    memset(record, 0, sizeof *record);
    record->index = (int)reader->entryCount;
    return UZ_OK;
  }
  int result = PositionOn(index);
  if (result != UZ_OK) return result;

  ZipEntryHeader header;
  char name[LAUNCHER_PATH_SIZE];
  if (ReadEntryHeader(reader, &header, 0, name, sizeof name) != ZS_OK) return UZ_BAD_ENTRY;
  // A name that fills the whole buffer arrived without its terminator.
  if (header.nameLength >= sizeof name) return UZ_BAD_ENTRY;

  unsigned variableLength, extraOffset, extraLength;
  if (CheckLocalHeader(reader, &variableLength, &extraOffset, &extraLength) != ZS_OK) return UZ_BAD_LOCAL_HEADER;
  if (!SeekSource(reader->source, reader->bytesBeforeArchive + extraOffset)) return UZ_SOURCE_READ_FAILED;
  unsigned char *extra = (unsigned char *)RtAlloc(extraLength);
  if (!extra) return UZ_SOURCE_READ_FAILED;
  if (extraLength && ReadSource(extra, extraLength, 1, reader->source) != 1) {
    RtFree(extra);
    return UZ_SOURCE_READ_FAILED;
  }

  ZipItemInfoNarrow item;
  memset(&item, 0, sizeof item);
  item.index = reader->currentIndex;
  for (unsigned i = 0; i <= header.nameLength; i++) item.name[i] = name[i];
  item.attributes = ZipAttributesFromExternal(header.externalAttributes);
  item.compressedSize = header.compressedSize;
  item.uncompressedSize = header.uncompressedSize;
  item.modifyTime = FileTimeFromDos(header.dosDateTime);
  item.accessTime = item.modifyTime;
  item.creationTime = item.modifyTime;
  ApplyExtendedTimestamp(extra, extraLength, &item);
  RtFree(extra);

  *record = item;
  cachedItem = item;
  cachedIndex = index;
  return UZ_OK;
}

int ZipArchive::Close() {
  if (reader) CloseZipReader(reader);
  reader = 0;
  return UZ_OK;
}

// ---- Handle interface --------------------------------------------------------------

static int CheckHandle(ZipHandle *handle) {
  if (!handle) return UZ_BAD_ARGUMENT;
  if (handle->kind != ZIP_HANDLE_KIND_ARCHIVE) return UZ_WRONG_HANDLE_KIND;
  return UZ_OK;
}

ZipHandle *OpenZipBuffer(const void *buffer, unsigned length) {
  ZipArchive *archive = (ZipArchive *)RtAlloc(sizeof(ZipArchive));
  if (!archive) {
    LastZipResult = ZS_NO_MEMORY;
    return 0;
  }
  memset(archive, 0, sizeof *archive);
  archive->reader = 0;
  archive->cachedIndex = -1;
  LastZipResult = archive->Open(buffer, length);
  if (LastZipResult != UZ_OK) {
    RtFree(archive);
    return 0;
  }
  ZipHandle *handle = (ZipHandle *)RtAlloc(sizeof(ZipHandle));
  if (!handle) {
    archive->Close();
    RtFree(archive);
    LastZipResult = ZS_NO_MEMORY;
    return 0;
  }
  handle->kind = ZIP_HANDLE_KIND_ARCHIVE;
  handle->archive = archive;
  return handle;
}

int GetZipItemInfo(ZipHandle *handle, int index, ZipItemInfo *info) {
  LastZipResult = CheckHandle(handle);
  if (LastZipResult != UZ_OK) return LastZipResult;
  ZipItemInfoNarrow record;
  LastZipResult = handle->archive->GetItem(index, &record);
  if (LastZipResult != UZ_OK) return LastZipResult;

  wchar_t wide[LAUNCHER_PATH_SIZE];
  memset(wide, 0, sizeof wide);
  if (record.name[0] &&
      !MultiByteToWideChar(CP_ACP, 0, record.name, -1, wide, LAUNCHER_PATH_SIZE - 1)) {
    // The wide form does not fit: refused rather than handed out cut short.
    LastZipResult = UZ_BAD_ENTRY;
    return LastZipResult;
  }
  info->index = record.index;
  info->attributes = record.attributes;
  info->accessTime = record.accessTime;
  info->creationTime = record.creationTime;
  info->modifyTime = record.modifyTime;
  info->compressedSize = record.compressedSize;
  info->uncompressedSize = record.uncompressedSize;
  for (unsigned i = 0; i < LAUNCHER_PATH_SIZE; i++) info->name[i] = wide[i];
  return LastZipResult;
}

int UnZipItem(ZipHandle *handle, int index, const wchar_t *path) {
  LastZipResult = CheckHandle(handle);
  if (LastZipResult != UZ_OK) return LastZipResult;
  LastZipResult = handle->archive->UnZipItem(index, path);
  return LastZipResult;
}

int CloseZipArchive(ZipHandle *handle) {
  LastZipResult = CheckHandle(handle);
  if (LastZipResult != UZ_OK) return LastZipResult;
  LastZipResult = handle->archive->Close();
  RtFree(handle->archive);
  RtFree(handle);
  return LastZipResult;
}
