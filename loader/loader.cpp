// CLoader: unpacks the payload, checks that every file is there, starts
// the downloader.
#include "loader.h"

#include <shellapi.h>
#include <shlwapi.h>

#include "rt.h"
#include "trace.h"
#include "unzip.h"

namespace {

void ClearPath(wchar_t *path) {
  for (unsigned i = 0; i < LAUNCHER_PATH_SIZE; i++) path[i] = 0;
}

// Opens the payload archive in place in the executable's own resources and
// reads its item count. Null when any step fails.
ZipHandle *OpenPayload(int *itemCount) {
  HRSRC resource = FindResourceW(0, MAKEINTRESOURCEW(LAUNCHER_PAYLOAD_ID), LAUNCHER_WIDE_NAME(LAUNCHER_PAYLOAD_TYPE));
  if (!resource) return 0;
  DWORD size = SizeofResource(0, resource);
  HGLOBAL loaded = LoadResource(0, resource);
  if (!loaded) return 0;
  const void *data = LockResource(loaded);
  if (!data) return 0;
  ZipHandle *handle = OpenZipBuffer(data, size);
  if (!handle) return 0;
  ZipItemInfo count;
  if (GetZipItemInfo(handle, -1, &count) != UZ_OK) {
    CloseZipArchive(handle);
    return 0;
  }
  *itemCount = count.index;
  return handle;
}

int IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Whether the length units at s spell word (lower case), ignoring case.
int SpellsIgnoringCase(const wchar_t *s, unsigned length, const wchar_t *word) {
  unsigned i = 0;
  for (; i < length && word[i]; i++) {
    wchar_t c = s[i] >= L'A' && s[i] <= L'Z' ? (wchar_t)(s[i] - L'A' + L'a') : s[i];
    if (c != word[i]) return 0;
  }
  return i == length && !word[i];
}

// Windows opens a path component as a device, in any folder, when its base
// name (before the first dot, trailing blanks dropped) is one of these or
// COM0-9 or LPT0-9: the data goes to the device and the "file" always
// exists, so neither a failed write nor the check would notice.
int IsDeviceComponent(const wchar_t *component, unsigned length) {
  static const wchar_t *const kDevices[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};
  unsigned base = 0;
  while (base < length && component[base] != L'.') base++;
  while (base > 0 && component[base - 1] == L' ') base--;
  for (unsigned i = 0; i < sizeof kDevices / sizeof kDevices[0]; i++)
    if (SpellsIgnoringCase(component, base, kDevices[i])) return 1;
  if (base != 4 || component[3] < L'0' || component[3] > L'9') return 0;
  return SpellsIgnoringCase(component, 3, L"com") || SpellsIgnoringCase(component, 3, L"lpt");
}

int HasDeviceComponent(const wchar_t *name) {
  for (const wchar_t *p = name; *p;) {
    unsigned length = 0;
    while (p[length] && !IsSeparator(p[length])) length++;
    if (length && IsDeviceComponent(p, length)) return 1;
    p += length;
    if (*p) p++;
  }
  return 0;
}

// A name is appended to the install directory as it stands, so one that
// climbs with ".." or names a drive or stream with ":" could write outside
// it; an empty name would stand for the install directory itself; a device
// name would write to the device.
int IsUnsafeName(const wchar_t *name) {
  return !name[0] || ZipNameHasParentComponent(name) || RtWcsRChr(name, L':') != 0 || HasDeviceComponent(name);
}

// Fetches item index and joins its path below the install directory.
// Returns 0, with a trace line, for an item that cannot be served: its
// record cannot be read, its name is unsafe, or the path would not fit.
int PrepareItem(ZipHandle *handle, int index, const wchar_t *dir, ZipItemInfo *info, wchar_t *path) {
  if (GetZipItemInfo(handle, index, info) != UZ_OK) {
    RtPrintW(TRACE_ITEM_INFO_FAILED, index, (void *)(UINT_PTR)(unsigned)LastZipResult);
    return 0;
  }
  if (IsUnsafeName(info->name)) {
    RtPrintW(TRACE_UNSAFE_NAME, info->name);
    return 0;
  }
  if (RtWcsLen(dir) + RtWcsLen(info->name) >= LAUNCHER_PATH_SIZE) {
    RtPrintW(TRACE_PATH_TOO_LONG, info->name);
    return 0;
  }
  ClearPath(path);
  lstrcpyW(path, dir);
  lstrcatW(path, info->name);
  return 1;
}

// A file, not a folder: PathFileExistsW says yes to both, and a folder left
// where a file belongs is no copy of it.
int IsFile(const wchar_t *path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int IsDirectoryItem(const ZipItemInfo &info) { return (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Makes room for a file item: an earlier copy, read-only or not, is deleted.
void RemoveEarlierFile(const wchar_t *path) {
  if (!PathFileExistsW(path)) return;
  DWORD attributes = GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!DeleteFileW(path)) {
    DWORD error = GetLastError();
    RtPrintW(TRACE_DELETE_FAILED, path, (int)error);
  }
}

}  // namespace

int CLoader::Extract() {
  RtPrintW(TRACE_EXTRACT);
  int count = 0;
  ZipHandle *handle = OpenPayload(&count);
  if (!handle) return 0;
  int complete = 1;
  ZipItemInfo info;
  wchar_t path[LAUNCHER_PATH_SIZE];
  for (int i = 0; i < count; i++) {
    if (!PrepareItem(handle, i, m_szDir, &info, path)) continue;
    if (IsDirectoryItem(info)) {
      CreateDirectoryTree(path);
      continue;
    }
    RemoveEarlierFile(path);
    int result = UnZipItem(handle, i, path);
    RtPrintW(TRACE_UNZIP_ITEM, info.name, (void *)(UINT_PTR)(unsigned)result);
    // A write failure leaves no file unless even its removal failed: what
    // stands there now is that broken file, and the check would pass on it.
    if (result == UZ_FILE_WRITE_FAILED && IsFile(path)) {
      RtPrintW(TRACE_BROKEN_FILE_KEPT, path);
      complete = 0;
    }
  }
  CloseZipArchive(handle);
  return complete;
}

int CLoader::Check() {
  RtPrintW(TRACE_CHECK);
  int count = 0;
  ZipHandle *handle = OpenPayload(&count);
  if (!handle) return 0;
  int result = 1;
  ZipItemInfo info;
  wchar_t path[LAUNCHER_PATH_SIZE];
  for (int i = 0; i < count; i++) {
    // An item that cannot be served was not extracted either: it is missing.
    if (!PrepareItem(handle, i, m_szDir, &info, path)) {
      result = 0;
      break;
    }
    if (IsDirectoryItem(info)) continue;
    // The number is whatever an earlier call left; it says nothing of the test.
    DWORD error = GetLastError();
    RtPrintW(TRACE_CHECK_FILE, path, (int)error);
    if (!IsFile(path)) {
      result = 0;
      break;
    }
  }
  CloseZipArchive(handle);
  return result;
}

int CLoader::Start() {
  RtPrintW(TRACE_START);
  // "%s\%s" behind a directory that ends in a backslash: two backslashes,
  // which the file system reads as one.
  if (RtWcsLen(m_szDir) + 1 + RtWcsLen(LAUNCHER_DOWNLOADER_NAME) >= LAUNCHER_PATH_SIZE) {
    RtPrintW(TRACE_PATH_TOO_LONG, LAUNCHER_DOWNLOADER_NAME);
    return 0;
  }
  wchar_t path[LAUNCHER_PATH_SIZE];
  ClearPath(path);
  wsprintfW(path, L"%s\\%s", m_szDir, LAUNCHER_DOWNLOADER_NAME);
  if (!PathFileExistsW(path)) return 0;
  // The shell would open a folder of that name in a window.
  if (!IsFile(path)) {
    RtPrintW(TRACE_NOT_A_FILE, path);
    return 0;
  }
  RtPrintW(TRACE_SHELL_EXECUTE, path);
  ShellExecuteW(0, L"open", path, 0, m_szDir, SW_SHOW);  // not waited for
  return 1;
}
