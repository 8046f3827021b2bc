// Running the built launcher the way a user would, under test control:
// copies of launcher.exe that carry another payload, a run with standard
// output captured to a file, the install directory it writes, and a way to
// take the local application-data folder away from it.
#pragma once

#include <windows.h>

#include <string>

#include "expected_facts.h"

// Where payloads live in the launcher's resources.
enum : WORD {
  kPayloadResourceId = EXPECTED_PAYLOAD_ID,
  kPayloadLanguage = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED),  // 2052
};

// Writes a copy of the built launcher (BuildDir() + "launcher.exe", or the
// program at `original` when one is given) to exePath whose "ZIP" resource
// holds payload (any bytes, ZIP or not) under resourceId, language 2052.
// Every language of the original "ZIP"/129 is removed first, so with another
// resourceId the copy has no payload at all. Checks the result by reading
// the copy's resources back; on failure returns false and says why in *error.
bool WriteLauncherWithPayload(const std::wstring &exePath, const std::string &payload,
                              WORD resourceId = kPayloadResourceId, std::string *error = nullptr,
                              const std::wstring &original = L"");

// The longest a test waits for another program to start, to end or to let go
// of a file. Every wait polls and returns as soon as the thing happens, so
// this only bounds a failure; it is generous because Wine under CPU
// emulation takes about a second to start a program, more on a busy machine.
constexpr DWORD kPatienceMs = 120000;

struct ProgramRun {
  bool started = false;   // CreateProcessW succeeded
  bool finished = false;  // ended within the timeout (otherwise it was terminated)
  DWORD exitCode = 0;
  std::string output;     // the bytes written to standard output
};

// Runs exePath (no arguments) in workDir with standard output redirected to
// a file (inherited handle), standard input from NUL (open, never closed:
// Wine will not start a program whose stdin and stdout are both closed) and
// standard error to NUL, and waits up to timeoutMs for it to end.
ProgramRun RunCapturingStdout(const std::wstring &exePath, const std::wstring &workDir,
                              DWORD timeoutMs = kPatienceMs);

// The local application-data folder as the shell reports it now (no
// trailing backslash), or "" when the shell fails.
std::wstring LocalAppDataDir();
// The launcher's install directory: LocalAppDataDir() + EXPECTED_INSTALL_SUFFIX.
std::wstring LauncherInstallDir();
// The first level the launcher creates below local appdata
// (LocalAppDataDir() + EXPECTED_INSTALL_FIRST_LEVEL).
std::wstring LauncherInstallRoot();

// Removes a file or a whole tree (read-only files included), retrying for up
// to timeoutMs while something still holds a part of it (a downloader that
// has not ended yet). True when nothing is left at path.
bool RemovePathPatiently(const std::wstring &path, DWORD timeoutMs = kPatienceMs);

// Polls until path names an existing file (true) or timeoutMs passes.
bool WaitForFile(const std::wstring &path, DWORD timeoutMs);
// Polls until the file at path can be opened for writing without being
// changed, i.e. no process runs it or holds it exclusively any more.
bool WaitUntilWritable(const std::wstring &path, DWORD timeoutMs);

// Points the current user's "Local AppData" shell folder (the value under
// HKCU "...\Explorer\User Shell Folders", REG_EXPAND_SZ) at another path
// for the object's life; "Q:\nope" (an unmapped drive) makes
// SHGetSpecialFolderPathW fail. The destructor always puts the earlier value
// back (or the Windows default, "%USERPROFILE%\AppData\Local", when there
// was none), so a failing test leaves the prefix as it found it.
class LocalAppDataOverride {
 public:
  explicit LocalAppDataOverride(const std::wstring &value);
  ~LocalAppDataOverride();
  LocalAppDataOverride(const LocalAppDataOverride &) = delete;
  LocalAppDataOverride &operator=(const LocalAppDataOverride &) = delete;
  bool applied() const { return applied_; }

 private:
  std::wstring previous_;
  bool applied_ = false;
};

// Compares captured trace output with an expected pattern: every byte must
// match except that "{int}" in the pattern stands for one signed decimal
// number (an optional '-' and at least one digit).
bool TraceMatches(const std::string &pattern, const std::string &actual);
// The text with CR and LF made visible, for failure messages.
std::string ShowControlCharacters(const std::string &text);
