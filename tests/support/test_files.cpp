#include "test_files.h"

#include <algorithm>

#include <stdlib.h>

TempDir::TempDir() {
  static unsigned counter = 0;
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  for (;;) {
    wchar_t name[64];
    wsprintfW(name, L"lt%lu_%u_%u\\", GetCurrentProcessId(), GetTickCount(), counter++);
    path_ = std::wstring(base) + name;
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
}

TempDir::~TempDir() { RemoveTree(path_); }

std::wstring CurrentDirectory() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  std::wstring dir(n, L'\0');
  dir.resize(GetCurrentDirectoryW(n, &dir[0]));
  return dir;
}

std::vector<std::wstring> ListDir(const std::wstring &dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  std::wstring pattern = dir;
  if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
  HANDLE find = FindFirstFileW((pattern + L"*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = fd.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

bool ReadWholeFile(const std::wstring &path, std::string *bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(h, buffer, sizeof buffer, &got, nullptr) != 0) && got) bytes->append(buffer, got);
  CloseHandle(h);
  return ok;
}

bool WriteWholeFile(const std::wstring &path, const std::string &bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

void RemoveTree(const std::wstring &path) {
  std::wstring dir = path;
  if (!dir.empty() && dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((dir + L"*").c_str(), &fd);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = dir + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
  }
  SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(dir.c_str());
}

bool FileExists(const std::wstring &path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring &path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring Widen(const std::string &s) {
  std::wstring w(s.size() + 1, L'\0');
  int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, &w[0], (int)w.size());
  w.resize(n > 0 ? n - 1 : 0);
  return w;
}

std::string Narrow(const std::wstring &s) {
  std::string n(s.size() * 2 + 1, '\0');
  int k = WideCharToMultiByte(CP_ACP, 0, s.c_str(), -1, &n[0], (int)n.size(), nullptr, nullptr);
  n.resize(k > 0 ? k - 1 : 0);
  return n;
}

std::wstring WindowsPathOfUnix(const std::string &unixPath) {
  std::wstring w = L"Z:" + Widen(unixPath);
  for (wchar_t &c : w)
    if (c == L'/') c = L'\\';
  if (w.back() != L'\\') w += L'\\';
  return w;
}

static std::wstring FromEnvironment(const char *name) {
  const char *value = getenv(name);
  return value ? WindowsPathOfUnix(value) : std::wstring();
}

std::wstring BuildDir() { return FromEnvironment("LAUNCHER_BUILD_DIR"); }
std::wstring SourceDir() { return FromEnvironment("LAUNCHER_SOURCE_DIR"); }
