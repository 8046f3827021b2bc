// Entry data stream over zlib's raw inflate, with CRC-32 verification.
#include "zip_stream.h"

#include <string.h>

#include "rt.h"

namespace {

const unsigned kLocalFixedSize = 30;
const int kRawDeflateWindowBits = -15;  // no zlib header or trailer, 32 KiB window

// Fetches the next block of entry data when the last one is used up.
int Refill(ZipEntryStream *s) {
  if (s->inflater.avail_in != 0 || s->compressedLeft == 0) return ZS_OK;
  unsigned n = s->compressedLeft < ZIP_STREAM_BUFFER_SIZE ? s->compressedLeft : ZIP_STREAM_BUFFER_SIZE;
  if (!SeekSource(s->source, s->bytesBeforeArchive + s->dataPosition)) return ZS_IO_ERROR;
  if (ReadSource(s->inputBuffer, n, 1, s->source) != 1) return ZS_IO_ERROR;
  s->dataPosition += n;
  s->compressedLeft -= n;
  s->inflater.next_in = s->inputBuffer;
  s->inflater.avail_in = n;
  return ZS_OK;
}

// Stored data: a plain copy. Returns 0 when no byte could move, which ends
// the read instead of waiting for bytes the entry does not have.
unsigned CopyStored(ZipEntryStream *s) {
  z_stream &z = s->inflater;
  unsigned k = z.avail_in < z.avail_out ? z.avail_in : z.avail_out;
  memcpy(z.next_out, z.next_in, k);
  s->runningCrc = crc32(s->runningCrc, z.next_out, k);
  z.next_in += k;
  z.next_out += k;
  z.avail_in -= k;
  z.avail_out -= k;
  z.total_out += k;
  s->uncompressedLeft -= k;
  return k;
}

}  // namespace

int OpenEntryStream(ZipReader *reader) {
  if (!reader || !reader->currentEntryValid) return ZS_BAD_ARGUMENT;
  if (reader->openStream) CloseEntryStream(reader);
  unsigned variableLength, extraOffset, extraLength;
  if (CheckLocalHeader(reader, &variableLength, &extraOffset, &extraLength) != ZS_OK) return ZS_BAD_ARCHIVE;

  ZipEntryStream *s = (ZipEntryStream *)RtAlloc(sizeof(ZipEntryStream));
  if (!s) return ZS_NO_MEMORY;
  memset(s, 0, sizeof *s);
  s->inputBuffer = (unsigned char *)RtAlloc(ZIP_STREAM_BUFFER_SIZE);
  if (!s->inputBuffer) {
    RtFree(s);
    return ZS_NO_MEMORY;
  }
  const ZipEntryHeader &h = reader->currentHeader;
  s->inflaterReady = 0;
  s->expectedCrc = h.crc;
  s->runningCrc = 0;
  s->method = h.method;
  s->source = reader->source;
  s->bytesBeforeArchive = reader->bytesBeforeArchive;
  s->inflater.total_out = 0;
  if (s->method != 0) {
    s->inflater.zalloc = 0;
    s->inflater.zfree = 0;
    s->inflater.opaque = 0;
    // A failed set-up is not an error here: every read then delivers
    // nothing, and the caller sees an entry that ended early.
    if (inflateInit2(&s->inflater, kRawDeflateWindowBits) == Z_OK) s->inflaterReady = 1;
  }
  s->compressedLeft = h.compressedSize;
  s->uncompressedLeft = h.uncompressedSize;
  // The data follows the local header's own name and extra field.
  s->dataPosition = reader->localHeaderOffset + kLocalFixedSize + variableLength;
  s->inflater.avail_in = 0;
  reader->openStream = s;
  return ZS_OK;
}

int ReadEntryStream(ZipReader *reader, void *buffer, unsigned length) {
  if (!reader || !reader->openStream) return ZS_BAD_ARGUMENT;
  ZipEntryStream *s = reader->openStream;
  if (length == 0) return 0;
  z_stream &z = s->inflater;
  z.next_out = (Bytef *)buffer;
  z.avail_out = length < s->uncompressedLeft ? length : s->uncompressedLeft;
  if (z.avail_out == 0) return 0;

  unsigned delivered = 0;
  do {
    int refill = Refill(s);
    if (refill != ZS_OK) return refill;
    if (s->method == 0) {
      unsigned k = CopyStored(s);
      delivered += k;
      if (k == 0) return (int)delivered;  // the stored bytes ran out
    } else {
      if (!s->inflaterReady) return (int)delivered;
      uLong totalBefore = z.total_out;
      Bytef *outBefore = z.next_out;
      int zr = inflate(&z, Z_NO_FLUSH);
      unsigned produced = (unsigned)(z.total_out - totalBefore);
      s->runningCrc = crc32(s->runningCrc, outBefore, produced);
      s->uncompressedLeft -= produced;
      delivered += produced;
      if (zr != Z_OK) return (int)delivered;  // end of the deflate data, or damage
    }
  } while (z.avail_out != 0);
  return (int)delivered;
}

int CloseEntryStream(ZipReader *reader) {
  if (!reader || !reader->openStream) return ZS_BAD_ARGUMENT;
  ZipEntryStream *s = reader->openStream;
  int status = ZS_OK;
  if (s->uncompressedLeft == 0 && s->runningCrc != s->expectedCrc) status = ZS_CRC_MISMATCH;
  RtFree(s->inputBuffer);
  if (s->inflaterReady) inflateEnd(&s->inflater);
  RtFree(s);
  reader->openStream = 0;
  return status;
}
