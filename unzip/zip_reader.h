// Central directory reader: the lowest layer of the archive reader.
//
// Reads a ZIP archive from a ZipSource (a memory image or a Win32 file
// handle), finds the end of central directory record, walks the central
// directory records one at a time and checks an entry's local file header
// against its central record. It knows the ZIP records and nothing of item
// records, paths or files. Single-disk archives only; no ZIP64, no
// decryption, no data-descriptor parsing (bit 3 only relaxes the local
// header tests). All values in the archive are little-endian; an archive
// offset plus bytesBeforeArchive gives a source offset.
#pragma once

#include <windows.h>

// ---- Status codes of the reader layers --------------------------------------
enum {
  ZS_OK = 0,              // success; also a byte read that meets the end of the data
  ZS_IO_ERROR = -1,       // a read failed or came back short, a handle source cannot be
                          // positioned, or (on open) no end record was found
  ZS_BAD_ARGUMENT = -102, // no reader, no current entry, or no open entry stream
  ZS_BAD_ARCHIVE = -103,  // a record signature or a consistency test failed
  ZS_NO_MEMORY = -104,    // the entry stream could not be allocated
  ZS_CRC_MISMATCH = -105, // a completely read entry's CRC-32 differs from its central record
};

// Status of the most recent OpenZipReader call.
extern int ZipOpenStatus;

struct ZipEntryStream;

// ---- Source -------------------------------------------------------------------
struct ZipSource {
  unsigned char usesHandle;   // 1: fileHandle is read; 0: the memory image is read
  unsigned char seekable;     // the handle can be positioned (memory sources: 1)
  HANDLE fileHandle;          // the open file (handle sources only)
  unsigned char readFailed;   // set when a ReadFile call fails; never cleared
  unsigned baseOffset;        // file position that counts as source offset 0
  const unsigned char *data;  // first byte of the memory image (not owned)
  unsigned dataSize;          // size of the memory image
  unsigned position;          // next byte to read in the memory image
};

// Returns 1 when the source was positioned, 0 when it refused.
int SeekSource(ZipSource *source, unsigned offset);
// Reads itemSize * itemCount bytes; returns the number of whole items read.
unsigned ReadSource(void *buffer, unsigned itemSize, unsigned itemCount, ZipSource *source);
int ReadSourceByte(ZipSource *source, int *value);
int ReadSourceShort(ZipSource *source, unsigned *value);
int ReadSourceLong(ZipSource *source, unsigned *value);

// ---- Records --------------------------------------------------------------------
// The fields of one central directory record, widened, and the broken-down
// modification date.
struct ZipEntryHeader {
  unsigned versionMadeBy;
  unsigned versionNeeded;
  unsigned flags;               // general purpose bit flag
  unsigned method;              // 0 stored, 8 deflated
  unsigned dosDateTime;         // time in the low 16 bits, date in the high 16 bits
  unsigned crc;
  unsigned compressedSize;
  unsigned uncompressedSize;
  unsigned nameLength;
  unsigned extraLength;
  unsigned commentLength;
  unsigned diskNumberStart;
  unsigned internalAttributes;
  unsigned externalAttributes;
  int second;                   // 0..62
  int minute;
  int hour;
  int day;
  int month;                    // 0 is January; a zero month field gives -1
  int year;                     // full year
};

struct ZipReader {
  ZipSource *source;            // owned
  unsigned entryCount;          // central directory records on this disk
  unsigned archiveCommentLength;
  unsigned bytesBeforeArchive;  // added to every archive offset
  int currentIndex;             // 0-based index of the current entry
  unsigned currentRecordOffset; // archive offset of the current central record
  int currentEntryValid;        // the current record was read with ZS_OK
  unsigned endRecordOffset;     // source offset of the end record
  unsigned directorySize;
  unsigned directoryOffset;     // archive offset of the central directory
  ZipEntryHeader currentHeader; // meaningful only while currentEntryValid
  unsigned localHeaderOffset;   // archive offset of the current local header
  ZipEntryStream *openStream;   // the open entry's data stream, or null
};

// ---- Operations -----------------------------------------------------------------
// Source offset of the end record signature, or 0 when none is found.
unsigned LocateEndOfDirectory(ZipSource *source);
// Takes ownership of source (freed, its handle closed, when the open fails).
ZipReader *OpenZipReader(ZipSource *source);
int ReadEntryHeader(ZipReader *reader, ZipEntryHeader *header, unsigned *localOffset,
                    char *nameBuffer, unsigned nameBufferSize);
int GoToFirstEntry(ZipReader *reader);
void GoToNextEntry(ZipReader *reader);
int CheckLocalHeader(ZipReader *reader, unsigned *variableLength, unsigned *extraOffset,
                     unsigned *extraLength);
void CloseZipReader(ZipReader *reader);
