#include "launcher_run.h"

#include <shlobj.h>

#include <vector>

#include "test_files.h"

namespace {

const wchar_t kShellFoldersKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const wchar_t kLocalAppDataValue[] = L"Local AppData";
const wchar_t kLocalAppDataDefault[] = L"%USERPROFILE%\\AppData\\Local";

void SetError(std::string *error, const std::string &text) {
  if (error) *error = text + " (error " + std::to_string(GetLastError()) + ")";
}

// A resource type or name: an integer identifier or a string.
struct ResourceKey {
  bool isId;
  WORD id;
  std::wstring text;
  explicit ResourceKey(LPCWSTR key)
      : isId(IS_INTRESOURCE(key)), id(isId ? LOWORD(reinterpret_cast<UINT_PTR>(key)) : 0),
        text(isId ? L"" : key) {}
  LPCWSTR get() const { return isId ? MAKEINTRESOURCEW(id) : text.c_str(); }
};

struct ResourceCopy {
  ResourceKey type, name;
  WORD language;
  std::string bytes;
};

struct Collector {
  HMODULE module;
  std::vector<ResourceCopy> *resources;
  const ResourceKey *type;
  const ResourceKey *name;
};

BOOL CALLBACK CollectLanguage(HMODULE module, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
  Collector *c = reinterpret_cast<Collector *>(param);
  HRSRC found = FindResourceExW(module, c->type->get(), c->name->get(), language);
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const char *data = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
  if (data) c->resources->push_back({*c->type, *c->name, language, std::string(data, SizeofResource(module, found))});
  return TRUE;
}

BOOL CALLBACK CollectName(HMODULE module, LPCWSTR, LPWSTR name, LONG_PTR param) {
  Collector *c = reinterpret_cast<Collector *>(param);
  ResourceKey key(name);
  Collector inner = *c;
  inner.name = &key;
  EnumResourceLanguagesW(module, c->type->get(), key.get(), CollectLanguage, reinterpret_cast<LONG_PTR>(&inner));
  return TRUE;
}

BOOL CALLBACK CollectType(HMODULE module, LPWSTR type, LONG_PTR param) {
  Collector *c = reinterpret_cast<Collector *>(param);
  ResourceKey key(type);
  Collector inner = *c;
  inner.type = &key;
  EnumResourceNamesW(module, key.get(), CollectName, reinterpret_cast<LONG_PTR>(&inner));
  return TRUE;
}

// Every resource of a module file, in every language; false when the file
// cannot be loaded as data.
bool ReadAllResources(const std::wstring &exePath, std::vector<ResourceCopy> *resources) {
  HMODULE module = LoadLibraryExW(exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return false;
  Collector c = {module, resources, nullptr, nullptr};
  EnumResourceTypesW(module, CollectType, reinterpret_cast<LONG_PTR>(&c));
  FreeLibrary(module);
  return true;
}

bool IsPayload(const ResourceCopy &r) {
  return !r.type.isId && lstrcmpiW(r.type.text.c_str(), EXPECTED_PAYLOAD_TYPE) == 0 && r.name.isId &&
         r.name.id == kPayloadResourceId;
}

// The bytes of "ZIP"/id in a module file, as the launcher's FindResourceW
// (no language asked for) would find them.
bool ReadPayload(const std::wstring &exePath, WORD id, std::string *bytes) {
  HMODULE module = LoadLibraryExW(exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return false;
  bool found = false;
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), EXPECTED_PAYLOAD_TYPE);
  if (resource) {
    HGLOBAL loaded = LoadResource(module, resource);
    const char *data = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    if (data) {
      bytes->assign(data, SizeofResource(module, resource));
      found = true;
    }
  }
  FreeLibrary(module);
  return found;
}

std::wstring WithoutTrailingSeparator(std::wstring path) {
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

}  // namespace

bool WriteLauncherWithPayload(const std::wstring &exePath, const std::string &payload,
                              WORD resourceId, std::string *error, const std::wstring &program) {
  const std::wstring original = program.empty() ? BuildDir() + L"launcher.exe" : program;
  std::vector<ResourceCopy> resources;
  if (!ReadAllResources(original, &resources)) {
    SetError(error, "cannot load " + Narrow(original) + " as data");
    return false;
  }
  if (!CopyFileW(original.c_str(), exePath.c_str(), FALSE)) {
    SetError(error, "cannot copy the launcher to " + Narrow(exePath));
    return false;
  }
  // Wine reads a file's existing resources only when the update ends, after
  // the queued changes, so deleting one of them (UpdateResourceW without
  // data) is lost there. Starting from an empty table and putting back all
  // but the payload works on Windows and Wine alike.
  HANDLE update = BeginUpdateResourceW(exePath.c_str(), TRUE);
  if (!update) {
    SetError(error, "BeginUpdateResourceW failed");
    return false;
  }
  bool ok = true;
  for (ResourceCopy &r : resources) {
    if (IsPayload(r) || r.bytes.empty()) continue;
    ok = ok && UpdateResourceW(update, r.type.get(), r.name.get(), r.language, &r.bytes[0],
                               static_cast<DWORD>(r.bytes.size()));
  }
  ok = ok && UpdateResourceW(update, EXPECTED_PAYLOAD_TYPE, MAKEINTRESOURCEW(resourceId), kPayloadLanguage,
                             const_cast<char *>(payload.data()), static_cast<DWORD>(payload.size()));
  if (!ok) {
    SetError(error, "UpdateResourceW failed");
    EndUpdateResourceW(update, TRUE);
    return false;
  }
  if (!EndUpdateResourceW(update, FALSE)) {
    SetError(error, "EndUpdateResourceW failed");
    return false;
  }

  // Read the copy back: the payload must be exactly where the launcher will
  // look, and the old one gone in every language.
  std::string stored;
  if (!ReadPayload(exePath, resourceId, &stored) || stored != payload) {
    SetError(error, "the copy does not hold the new payload");
    return false;
  }
  if (resourceId != kPayloadResourceId && ReadPayload(exePath, kPayloadResourceId, &stored)) {
    SetError(error, "the copy still holds a payload under " + std::to_string(kPayloadResourceId));
    return false;
  }
  return true;
}

ProgramRun RunCapturingStdout(const std::wstring &exePath, const std::wstring &workDir, DWORD timeoutMs) {
  ProgramRun run;
  TempDir capture;
  const std::wstring outputPath = capture / L"stdout.bin";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  HANDLE errors = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
  if (output != INVALID_HANDLE_VALUE && input != INVALID_HANDLE_VALUE && errors != INVALID_HANDLE_VALUE) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = errors;
    std::wstring commandLine = L"\"" + exePath + L"\"";
    PROCESS_INFORMATION process = {};
    run.started = CreateProcessW(exePath.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 workDir.empty() ? nullptr : workDir.c_str(), &startup, &process) != 0;
    if (run.started) {
      run.finished = WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
      if (!run.finished) {
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, 5000);
      }
      GetExitCodeProcess(process.hProcess, &run.exitCode);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
  }
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (errors != INVALID_HANDLE_VALUE) CloseHandle(errors);
  ReadWholeFile(outputPath, &run.output);
  return run;
}

std::wstring LocalAppDataDir() {
  wchar_t path[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_LOCAL_APPDATA, TRUE)) return std::wstring();
  return path;
}

std::wstring LauncherInstallDir() { return LocalAppDataDir() + EXPECTED_INSTALL_SUFFIX; }

std::wstring LauncherInstallRoot() { return LocalAppDataDir() + EXPECTED_INSTALL_FIRST_LEVEL; }

bool RemovePathPatiently(const std::wstring &path, DWORD timeoutMs) {
  const std::wstring target = WithoutTrailingSeparator(path);
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveTree(target);
    } else {
      SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(target.c_str());
    }
    if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(50);
  }
}

bool WaitForFile(const std::wstring &path, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (FileExists(path)) return true;
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(25);
  }
}

bool WaitUntilWritable(const std::wstring &path, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return true;
    }
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(25);
  }
}

LocalAppDataOverride::LocalAppDataOverride(const std::wstring &value) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kShellFoldersKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  wchar_t previous[1024] = {};
  DWORD size = sizeof previous - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, kLocalAppDataValue, nullptr, &type, reinterpret_cast<BYTE *>(previous), &size) ==
          ERROR_SUCCESS &&
      (type == REG_EXPAND_SZ || type == REG_SZ) && previous[0])
    previous_ = previous;
  else
    previous_ = kLocalAppDataDefault;
  applied_ = RegSetValueExW(key, kLocalAppDataValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  RegCloseKey(key);
}

LocalAppDataOverride::~LocalAppDataOverride() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kShellFoldersKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  RegSetValueExW(key, kLocalAppDataValue, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(previous_.c_str()),
                 static_cast<DWORD>((previous_.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

bool TraceMatches(const std::string &pattern, const std::string &actual) {
  static const std::string kNumber = "{int}";
  size_t p = 0, a = 0;
  while (p < pattern.size()) {
    if (pattern.compare(p, kNumber.size(), kNumber) == 0) {
      p += kNumber.size();
      if (a < actual.size() && actual[a] == '-') a++;
      size_t digits = a;
      while (a < actual.size() && actual[a] >= '0' && actual[a] <= '9') a++;
      if (a == digits) return false;
      continue;
    }
    if (a >= actual.size() || pattern[p] != actual[a]) return false;
    p++;
    a++;
  }
  return a == actual.size();
}

std::string ShowControlCharacters(const std::string &text) {
  std::string shown;
  for (char c : text) {
    if (c == '\r')
      shown += "\\r";
    else if (c == '\n')
      shown += "\\n\n";
    else
      shown += c;
  }
  return shown;
}
