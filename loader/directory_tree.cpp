// Creates a directory chain level by level.
#include "loader.h"

#include <shlwapi.h>

#include "rt.h"

namespace {

int IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// The index behind the component that starts at `at` and its separator.
unsigned SkipComponent(const wchar_t *path, unsigned at) {
  while (path[at] && !IsSeparator(path[at])) at++;
  return path[at] ? at + 1 : at;
}

int IsDriveAt(const wchar_t *p) { return p[0] && p[1] == L':'; }

// Whether path starts with "\\?\" or "\\.\" (separators of either kind).
int HasNamespacePrefix(const wchar_t *path) {
  return IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
         IsSeparator(path[3]);
}

// Length of the part of path that names where the chain hangs and is never
// created: "C:\", "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\",
// "\\?\Volume{...}\", or "\" for the current drive's root. 0 for a relative
// path, "C:dir" included (relative to that drive's current directory).
unsigned RootLength(const wchar_t *path) {
  if (HasNamespacePrefix(path)) {
    const wchar_t *rest = path + 4;
    if (IsDriveAt(rest)) return IsSeparator(rest[2]) ? 7 : 6;
    if ((rest[0] == L'U' || rest[0] == L'u') && (rest[1] == L'N' || rest[1] == L'n') &&
        (rest[2] == L'C' || rest[2] == L'c') && IsSeparator(rest[3]))
      return SkipComponent(path, SkipComponent(path, 8));
    return SkipComponent(path, 4);
  }
  if (IsSeparator(path[0]) && IsSeparator(path[1])) return SkipComponent(path, SkipComponent(path, 2));
  if (IsSeparator(path[0])) return 1;
  if (IsDriveAt(path) && IsSeparator(path[2])) return 3;
  return 0;
}

}  // namespace

void CreateDirectoryTree(const wchar_t *path) {
  wchar_t rest[LAUNCHER_PATH_SIZE];
  wchar_t prefix[LAUNCHER_PATH_SIZE];
  RtWcsCopyBounded(rest, LAUNCHER_PATH_SIZE, path);
  // The root is kept as it stands: cut into tokens like the levels below
  // it, "\\server\share\" would lose its "\\" and the chain would be made
  // below the current directory. A relative path would be made there too.
  unsigned root = RootLength(rest);
  if (!root) return;
  RtWcsCopyCounted(prefix, rest, root);
  prefix[root] = 0;
  // Levels are joined with "/", which Windows reads as "\", except behind
  // "\\?\", where the path goes to the file system unparsed.
  const wchar_t *separator = rest[2] == L'?' && HasNamespacePrefix(rest) ? L"\\" : L"/";
  wchar_t *context = 0;
  for (wchar_t *token = RtWcsTok(rest + root, L"/\\", &context); token; token = RtWcsTok(0, L"/\\", &context)) {
    RtWcsAppendBounded(prefix, LAUNCHER_PATH_SIZE, token);
    RtWcsAppendBounded(prefix, LAUNCHER_PATH_SIZE, separator);
    if (!PathFileExistsW(prefix)) CreateDirectoryW(prefix, 0);  // failures show up later as missing files
  }
}
