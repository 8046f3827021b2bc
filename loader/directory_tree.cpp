// Creates a directory chain level by level.
#include "loader.h"

#include <shlwapi.h>

#include "rt.h"

void CreateDirectoryTree(const wchar_t *path) {
  wchar_t rest[LAUNCHER_PATH_SIZE];
  wchar_t prefix[LAUNCHER_PATH_SIZE];
  RtWcsCopyBounded(rest, LAUNCHER_PATH_SIZE, path);
  prefix[0] = 0;
  // Every prefix is rebuilt with "/" as its only separator, so "C:/",
  // "C:/Users/" and so on are tested in turn; the drive always exists.
  wchar_t *context = 0;
  for (wchar_t *token = RtWcsTok(rest, L"/\\", &context); token; token = RtWcsTok(0, L"/\\", &context)) {
    RtWcsAppendBounded(prefix, LAUNCHER_PATH_SIZE, token);
    RtWcsAppendBounded(prefix, LAUNCHER_PATH_SIZE, L"/");
    if (!PathFileExistsW(prefix)) CreateDirectoryW(prefix, 0);  // failures show up later as missing files
  }
}
