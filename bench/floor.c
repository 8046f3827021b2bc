/* The native floor of the benchmark: the launcher's unpacking work done by
 * the simplest native program that does all of it, against the system zlib.
 *
 * Like the launcher it holds the archive in memory, walks the central
 * directory, and for every file entry creates the file below the target
 * folder, copies the entry's data in 16 KiB blocks into a 16 KiB input
 * buffer, raw-inflates it into a 16 KiB output buffer, keeps the CRC-32 of
 * what comes out, writes each output buffer with one write(), compares the
 * CRC-32 at the end and sets the file's times. It then checks that every
 * file exists, as the launcher's second pass does. It parses only what this
 * needs and trusts the archive (the benchmark makes it).
 *
 * Usage: floor ARCHIVE FOLDER    (FOLDER is created; exit 0 when all is well)
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "inflate_loop.h"


/* The archive's whole image, as the launcher has it in its resources. */
static const unsigned char *MapArchive(const char *path, size_t *size) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  void *image = mmap(0, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (image == MAP_FAILED) return 0;
  *size = (size_t)st.st_size;
  return image;
}

/* One write() per output buffer. */
static int WriteToFd(void *context, const unsigned char *data, unsigned size) {
  return write(*(int *)context, data, size) != (ssize_t)size;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: floor ARCHIVE FOLDER\n");
    return 2;
  }
  size_t size = 0;
  const unsigned char *archive = MapArchive(argv[1], &size);
  if (!archive || size < 22) return 2;
  const unsigned char *end = archive + size - 22; /* no archive comment */
  if (Get32(end) != 0x06054B50) return 2;
  unsigned entries = Get16(end + 10);
  uint32_t directory = Get32(end + 16);
  mkdir(argv[2], 0755);
  int dirFd = open(argv[2], O_RDONLY | O_DIRECTORY);
  if (dirFd < 0) return 2;

  int failures = 0;
  const unsigned char *record = archive + directory;
  char name[1024];
  for (unsigned i = 0; i < entries; i++) {
    unsigned nameLength = Get16(record + 28);
    unsigned skip = 46 + nameLength + Get16(record + 30) + Get16(record + 32);
    uint32_t crc = Get32(record + 16), compressed = Get32(record + 20);
    uint32_t uncompressed = Get32(record + 24), localOffset = Get32(record + 42);
    const char *stored = (const char *)record + 46;
    while (nameLength > 0 && *stored == '/') stored++, nameLength--; /* below the folder */
    memcpy(name, stored, nameLength);
    name[nameLength] = 0;
    const unsigned char *local = archive + localOffset;
    uint32_t dataOffset = localOffset + 30 + Get16(local + 26) + Get16(local + 28);
    int fd = openat(dirFd, name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
      failures++;
    } else {
      failures += InflateEntry(archive, dataOffset, compressed, uncompressed, crc, WriteToFd, &fd);
      struct timespec times[2] = {{1533536566, 0}, {1533536566, 0}};
      futimens(fd, times);
      close(fd);
    }
    record += skip;
  }
  /* The check pass: every file is there. */
  record = archive + directory;
  for (unsigned i = 0; i < entries; i++) {
    unsigned nameLength = Get16(record + 28);
    const char *stored = (const char *)record + 46;
    while (nameLength > 0 && *stored == '/') stored++, nameLength--;
    memcpy(name, stored, nameLength);
    name[nameLength] = 0;
    struct stat st;
    if (fstatat(dirFd, name, &st, 0) != 0) failures++;
    record += 46 + Get16(record + 28) + Get16(record + 30) + Get16(record + 32);
  }
  close(dirFd);
  return failures ? 1 : 0;
}
