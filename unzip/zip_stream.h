// Entry data stream: the uncompressed bytes of the reader's current entry.
//
// Stored entries are copied, deflated entries decoded with zlib's raw
// inflate; a running CRC-32 of the delivered bytes is compared with the
// central record when the whole entry has been read. Sizes and CRC-32 come
// from the central record, never from the local header.
#pragma once

#include <zlib.h>

#include "zip_reader.h"

const unsigned ZIP_STREAM_BUFFER_SIZE = 16384;

struct ZipEntryStream {
  unsigned char *inputBuffer;   // entry data fetched and not yet consumed (owned)
  z_stream inflater;            // inflate state; for stored data only the cursor fields
  unsigned dataPosition;        // archive offset of the next data byte to fetch
  int inflaterReady;            // inflateInit2 succeeded: inflateEnd is due
  unsigned runningCrc;          // CRC-32 of everything delivered so far
  unsigned expectedCrc;         // crc of the central record
  unsigned compressedLeft;      // entry data bytes not yet fetched
  unsigned uncompressedLeft;    // bytes not yet delivered
  ZipSource *source;            // the reader's source (not owned)
  unsigned method;              // 0 stored, 8 deflated
  unsigned bytesBeforeArchive;  // copy of the reader's
};

int OpenEntryStream(ZipReader *reader);
// Bytes stored into buffer (0: the entry has ended), or a negative status.
int ReadEntryStream(ZipReader *reader, void *buffer, unsigned length);
int CloseEntryStream(ZipReader *reader);
