/* The launcher's data loop, shared by the benchmark's floor and its
 * diagnosis programs so that all of them measure exactly the same work:
 * entry data copied out of the archive image in 16 KiB input blocks, raw
 * inflate into a 16 KiB output buffer, the CRC-32 of what comes out, and
 * each full output buffer handed to a sink (none: decoding only).
 */
#ifndef BENCH_INFLATE_LOOP_H
#define BENCH_INFLATE_LOOP_H

#include <stdint.h>
#include <string.h>
#include <zlib.h>

enum { kBlock = 16384 };

static unsigned Get16(const unsigned char *p) { return p[0] | p[1] << 8; }
static uint32_t Get32(const unsigned char *p) { return Get16(p) | (uint32_t)Get16(p + 2) << 16; }

/* Takes size bytes of output; returns 0 when they were taken in full. */
typedef int (*BenchSink)(void *context, const unsigned char *data, unsigned size);

/* Decodes one deflated entry; 0 when its size and CRC-32 match. */
static int InflateEntry(const unsigned char *archive, uint32_t position, uint32_t compressedLeft,
                        uint32_t left, uint32_t crc, BenchSink sink, void *context) {
  static unsigned char input[kBlock], output[kBlock];
  z_stream z;
  memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -15) != Z_OK) return 1;
  uLong running = 0;
  int status = Z_OK;
  while (left > 0 && status == Z_OK) {
    z.next_out = output;
    z.avail_out = left < kBlock ? left : kBlock;
    while (z.avail_out > 0 && status == Z_OK) {
      if (z.avail_in == 0 && compressedLeft > 0) {
        unsigned n = compressedLeft < kBlock ? compressedLeft : kBlock;
        memcpy(input, archive + position, n);
        position += n;
        compressedLeft -= n;
        z.next_in = input;
        z.avail_in = n;
      }
      status = inflate(&z, Z_NO_FLUSH);
    }
    unsigned produced = (unsigned)(z.next_out - output);
    if (produced == 0) break;
    running = crc32(running, output, produced);
    if (sink && sink(context, output, produced) != 0) break;
    left -= produced;
  }
  inflateEnd(&z);
  return left != 0 || running != crc;
}

#endif
