/* Diagnosis only: bench/floor.c's work as a Windows program under Wine.
 *
 * The same loop as the native floor (16 KiB input blocks copied out of the
 * archive image, raw inflate into a 16 KiB buffer, CRC-32, one WriteFile
 * per buffer, the file's times set at the end), built with the same MinGW
 * zlib as the launcher and run under the same wineserver. What separates it
 * from the native floor is Wine and 32-bit code; what separates the
 * launcher from it is the launcher's own doing (its imports, its image
 * layout, its hand-off to the shell). The archive is mapped from its file,
 * as the launcher's payload would be if Wine mapped it.
 *
 * Usage: floor_win ARCHIVE FOLDER    (exit 0 when every entry came out whole)
 */
#include <windows.h>
#include <stdint.h>
#include <string.h>
#include <zlib.h>

enum { kBlock = 16384 };

static unsigned Get16(const unsigned char *p) { return p[0] | p[1] << 8; }
static uint32_t Get32(const unsigned char *p) { return Get16(p) | (uint32_t)Get16(p + 2) << 16; }

static int InflateEntry(const unsigned char *archive, uint32_t position, uint32_t compressedLeft,
                        uint32_t left, uint32_t crc, HANDLE file) {
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
    DWORD written = 0;
    if (!WriteFile(file, output, produced, &written, 0) || written != produced) break;
    left -= produced;
  }
  inflateEnd(&z);
  return left != 0 || running != crc;
}

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  HANDLE source = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
  if (source == INVALID_HANDLE_VALUE) return 2;
  DWORD size = GetFileSize(source, 0);
  HANDLE mapping = CreateFileMappingA(source, 0, PAGE_READONLY, 0, 0, 0);
  const unsigned char *archive = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : 0;
  if (!archive || size < 22) return 2;
  const unsigned char *end = archive + size - 22; /* no archive comment */
  unsigned entries = Get16(end + 10);
  const unsigned char *record = archive + Get32(end + 16);
  CreateDirectoryA(argv[2], 0);
  FILETIME stamp = {0x2D8A0000, 0x01D42D5A};
  int failures = 0;
  char path[MAX_PATH * 2];
  for (unsigned i = 0; i < entries; i++) {
    unsigned nameLength = Get16(record + 28);
    const char *name = (const char *)record + 46;
    while (nameLength > 0 && *name == '/') name++, nameLength--;
    if (strlen(argv[2]) + 1 + nameLength >= sizeof path) return 2;
    strcpy(path, argv[2]);
    strcat(path, "\\");
    strncat(path, name, nameLength);
    const unsigned char *local = archive + Get32(record + 42);
    uint32_t data = Get32(record + 42) + 30 + Get16(local + 26) + Get16(local + 28);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) {
      failures++;
    } else {
      failures += InflateEntry(archive, data, Get32(record + 20), Get32(record + 24), Get32(record + 16), file);
      SetFileTime(file, &stamp, &stamp, &stamp);
      CloseHandle(file);
    }
    record += 46 + Get16(record + 28) + Get16(record + 30) + Get16(record + 32);
  }
  return failures ? 1 : 0;
}
