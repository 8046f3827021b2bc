// Item extraction to disk: UnZipItem's body and the directory chain below
// the archive's root directory.
#include "zip_archive.h"
#include "zip_stream.h"

#include <string.h>

#include "rt.h"

namespace {

const unsigned kCopyBufferSize = 16384;

int IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

const wchar_t *LastSeparator(const wchar_t *path) {
  const wchar_t *slash = RtWcsRChr(path, L'/');
  const wchar_t *backslash = RtWcsRChr(path, L'\\');
  return slash > backslash ? slash : backslash;
}

// Marks a file this call created and could not complete for deletion on
// its own handle, so that it goes when the handle is closed even if
// another program (a scanner, an indexer) has opened it meanwhile: the
// handle's DELETE access made any later opener share deletion. A read-only
// file cannot be marked, so the attribute it was created with goes first.
int MarkPartialFileForDeletion(HANDLE file, unsigned attributes) {
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    FILE_BASIC_INFO basic;
    memset(&basic, 0, sizeof basic);  // zero times: left as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)) return 0;
  }
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// The fallback once the handle is closed, for a file system that takes no
// mark.
void DeletePartialFile(const wchar_t *path, unsigned attributes) {
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path);
}

// Creates the target's directory part below the root when it is relative
// and does not climb out with "../" or "..\".
void EnsureTargetDirectory(const wchar_t *root, const wchar_t *path) {
  const wchar_t *separator = LastSeparator(path);
  if (!separator) return;
  wchar_t directory[LAUNCHER_PATH_SIZE];
  unsigned length = (unsigned)(separator - path);
  RtWcsCopyCounted(directory, path, LAUNCHER_PATH_SIZE);
  directory[length] = 0;  // length < LAUNCHER_PATH_SIZE: the caller checked the path's length
  int absolute = IsSeparator(directory[0]) || (directory[0] && directory[1] == L':');
  if (absolute || RtWcsStr(directory, L"../") || RtWcsStr(directory, L"..\\")) return;
  EnsureItemDirectory(root, directory);
}

}  // namespace

int ZipNameHasParentComponent(const wchar_t *name) {
  // Windows drops trailing dots and blanks of a path component, so "..",
  // "... " and ". ." all climb; any component of only dots and blanks with
  // two dots or more counts.
  const wchar_t *p = name;
  while (*p) {
    unsigned dots = 0, others = 0;
    for (; *p && !IsSeparator(*p); p++) {
      if (*p == L'.') dots++;
      else if (*p != L' ') others++;
    }
    if (dots >= 2 && others == 0) return 1;
    if (*p) p++;
  }
  return 0;
}

void EnsureItemDirectory(const wchar_t *root, const wchar_t *path) {
  if (!path || !path[0]) return;
  const wchar_t *separator = LastSeparator(path);
  if (separator && separator != path) {
    wchar_t parent[LAUNCHER_PATH_SIZE];
    unsigned length = (unsigned)(separator - path);
    if (length >= LAUNCHER_PATH_SIZE) return;
    RtWcsCopyCounted(parent, path, length);
    parent[length] = 0;
    EnsureItemDirectory(root, parent);
  }
  // A level that does not fit the path limit is not requested.
  if (RtWcsLen(root) + RtWcsLen(path) >= LAUNCHER_PATH_SIZE) return;
  wchar_t joined[LAUNCHER_PATH_SIZE];
  RtWcsCopyBounded(joined, LAUNCHER_PATH_SIZE, root);
  RtWcsAppendBounded(joined, LAUNCHER_PATH_SIZE, path);
  CreateDirectoryW(joined, 0);  // an existing or impossible level is passed over
}

// "/x", "\x" and "C:x" do not hang below the root: joined to it they name
// another place, and with an empty root (no current directory to be had)
// the drive's root itself.
static int IsAbsoluteOrOnDrive(const wchar_t *name) {
  return IsSeparator(name[0]) || (name[0] && name[1] == L':');
}

static int ExtractDirectory(const ZipItemInfoNarrow &item, const wchar_t *root) {
  wchar_t name[LAUNCHER_PATH_SIZE];
  for (unsigned i = 0; i < LAUNCHER_PATH_SIZE; i++) name[i] = 0;
  if (!MultiByteToWideChar(CP_ACP, 0, item.name, -1, name, LAUNCHER_PATH_SIZE - 1)) return UZ_BAD_ENTRY;
  if (ZipNameHasParentComponent(name) || IsAbsoluteOrOnDrive(name)) return UZ_UNSAFE_NAME;
  EnsureItemDirectory(root, name);
  return UZ_OK;
}

int ZipArchive::UnZipItem(int index, const wchar_t *path) {
  if (index < 0 || index >= (int)reader->entryCount) return UZ_BAD_ARGUMENT;
  // Positioned here because GetItem may answer from its cache without
  // moving the reader, and the entry stream reads the reader's current entry.
  int result = PositionOn(index);
  if (result != UZ_OK) return result;
  ZipItemInfoNarrow item;
  result = GetItem(index, &item);
  if (result != UZ_OK) return result;
  if (item.attributes & FILE_ATTRIBUTE_DIRECTORY) return ExtractDirectory(item, rootDir);

  if (!path || RtWcsLen(path) >= LAUNCHER_PATH_SIZE) return UZ_BAD_ARGUMENT;
  EnsureTargetDirectory(rootDir, path);
  // DELETE as well, so that a copy that fails can always be removed.
  HANDLE file = CreateFileW(path, GENERIC_WRITE | DELETE, 0, 0, CREATE_ALWAYS, item.attributes, 0);
  if (file == INVALID_HANDLE_VALUE) return UZ_FILE_CREATE_FAILED;

  OpenEntryStream(reader);  // when it fails, the first read reports it
  unsigned char buffer[kCopyBufferSize];
  unsigned long long written = 0;
  int failed = 0;
  for (;;) {
    int n = ReadEntryStream(reader, buffer, kCopyBufferSize);
    if (n < 0) {
      failed = 1;
      break;
    }
    if (n == 0) break;
    DWORD count = 0;
    if (!WriteFile(file, buffer, (DWORD)n, &count, 0)) {
      failed = 1;
      break;
    }
    written += count;
  }
  // Only the item's own bytes, all of them, count as a good copy: an entry
  // that ended early (damaged or cut-off data) or fails its CRC-32 does not.
  int crcStatus = CloseEntryStream(reader);
  int good = !failed && written == item.uncompressedSize && crcStatus == ZS_OK;
  int onDisk = GetFileType(file) == FILE_TYPE_DISK;
  if (good && onDisk) SetFileTime(file, &item.creationTime, &item.accessTime, &item.modifyTime);
  int marked = !good && onDisk && MarkPartialFileForDeletion(file, item.attributes);
  CloseHandle(file);
  if (good) return UZ_OK;
  // Should even the fallback fail, the broken file stays: the caller sees
  // the write failure and must not take what stands at path for the item.
  if (onDisk && !marked) DeletePartialFile(path, item.attributes);
  return UZ_FILE_WRITE_FAILED;
}
