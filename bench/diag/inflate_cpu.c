/* Diagnosis only: the CPU cost of the launcher's decoding, nothing else.
 *
 * Every entry of an archive held in memory is raw-inflated in 16 KiB
 * pieces with its CRC-32, as the launcher and the floor do, but nothing is
 * written. Built twice: natively against the system zlib (64-bit) and with
 * MinGW against the zlib the launcher links (32-bit, run under Wine, where
 * pure computation runs at native speed). The difference is what 32-bit
 * decoding costs the launcher; it is part of the design (a 32-bit program).
 *
 * Usage: inflate_cpu ARCHIVE [REPEATS]   prints "best_ms=<ms>"
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>
#ifdef _WIN32
#include <windows.h>
static double Seconds(void) {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return (double)counter.QuadPart / (double)frequency.QuadPart;
}
#else
#include <time.h>
static double Seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}
#endif

#include "../inflate_loop.h"

/* Decodes every entry once; returns the number of entries that came out wrong. */
static int DecodeAll(const unsigned char *archive, long size) {
  const unsigned char *end = archive + size - 22;
  unsigned entries = Get16(end + 10);
  const unsigned char *record = archive + Get32(end + 16);
  int failures = 0;
  for (unsigned i = 0; i < entries; i++) {
    const unsigned char *local = archive + Get32(record + 42);
    uint32_t position = Get32(record + 42) + 30 + Get16(local + 26) + Get16(local + 28);
    failures += InflateEntry(archive, position, Get32(record + 20), Get32(record + 24), Get32(record + 16), 0, 0);
    record += 46 + Get16(record + 28) + Get16(record + 30) + Get16(record + 32);
  }
  return failures;
}

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  FILE *file = fopen(argv[1], "rb");
  if (!file) return 2;
  fseek(file, 0, SEEK_END);
  long size = ftell(file);
  fseek(file, 0, SEEK_SET);
  unsigned char *archive = malloc((size_t)size);
  if (!archive || size < 22 || fread(archive, 1, (size_t)size, file) != (size_t)size) return 2;
  fclose(file);
  int repeats = argc > 2 ? atoi(argv[2]) : 5;
  double best = 1e30;
  for (int r = 0; r < repeats; r++) {
    double start = Seconds();
    if (DecodeAll(archive, size)) return 1;
    double elapsed = Seconds() - start;
    if (elapsed < best) best = elapsed;
  }
  printf("best_ms=%.1f\n", best * 1000.0);
  return 0;
}
