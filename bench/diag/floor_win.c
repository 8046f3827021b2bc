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

#include "../inflate_loop.h"


/* One WriteFile per output buffer. */
static int WriteToFile(void *context, const unsigned char *data, unsigned size) {
  DWORD written = 0;
  return !WriteFile(*(HANDLE *)context, data, size, &written, 0) || written != size;
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
      failures += InflateEntry(archive, data, Get32(record + 20), Get32(record + 24), Get32(record + 16), WriteToFile, &file);
      SetFileTime(file, &stamp, &stamp, &stamp);
      CloseHandle(file);
    }
    record += 46 + Get16(record + 28) + Get16(record + 30) + Get16(record + 32);
  }
  return failures ? 1 : 0;
}
