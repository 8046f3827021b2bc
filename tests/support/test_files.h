// File-system helpers for the tests: temporary folders, whole-file reads and
// writes, the build tree's location as a Windows path.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A fresh folder below the temporary directory, removed with all it holds
// (read-only files included) when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::wstring &path() const { return path_; }  // ends with a backslash
  std::wstring operator/(const std::wstring &name) const { return path_ + name; }

 private:
  std::wstring path_;
};

// The process's current directory.
std::wstring CurrentDirectory();
// Names in a directory, sorted, without "." and "..".
std::vector<std::wstring> ListDir(const std::wstring &dir);

bool ReadWholeFile(const std::wstring &path, std::string *bytes);
bool WriteWholeFile(const std::wstring &path, const std::string &bytes);

// ---- Trees --------------------------------------------------------------------
// Absolute paths are used in their \\?\ form, so that names the plain form
// cannot reach (a damaged item name can end a folder in a blank or a dot)
// are listed and removed too.

// One file or folder below a listed folder.
struct TreeEntry {
  std::wstring path;  // relative to the listed folder, components joined by backslashes
  bool directory;
};
// What lies below dir (not dir itself), sorted by path; with recursive
// false only dir's own entries.
std::vector<TreeEntry> ListTree(const std::wstring &dir, bool recursive = true);
// The names of dir's own entries, sorted.
std::vector<std::wstring> NamesIn(const std::wstring &dir);
// Deletes everything below dir, read-only files included; dir stays.
void ClearTree(const std::wstring &dir);
// ClearTree, then dir itself.
void RemoveTree(const std::wstring &path);

bool FileExists(const std::wstring &path);     // a file, not a directory
bool DirectoryExists(const std::wstring &path);

// The build tree and the source tree as Windows paths with a trailing
// backslash (from LAUNCHER_BUILD_DIR / LAUNCHER_SOURCE_DIR, set by CTest).
std::wstring BuildDir();
std::wstring SourceDir();
// A Unix path as Wine sees it (drive Z: is the Unix root).
std::wstring WindowsPathOfUnix(const std::string &unixPath);

std::wstring Widen(const std::string &s);
std::string Narrow(const std::wstring &s);
