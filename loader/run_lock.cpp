// One run at a time per install directory: a double click can start the
// launcher twice, and a second run would delete and rewrite the files the
// first is writing, pass its check on a half-written install and start a
// second downloader.
#include "loader.h"

#include "rt.h"

namespace {

const wchar_t kSessionNamespace[] = L"Local\\";
const unsigned kNamespaceLength = sizeof kSessionNamespace / sizeof kSessionNamespace[0] - 1;

// "Local\" and the install directory with "/" for "\", which an object name
// may not hold after its namespace. A directory too long for the name keeps
// its end, where the install directories of two users differ least.
void MakeLockName(const wchar_t *installDir, wchar_t *name) {
  unsigned length = RtWcsLen(installDir);
  unsigned room = LAUNCHER_PATH_SIZE - 1 - kNamespaceLength;
  const wchar_t *kept = length > room ? installDir + (length - room) : installDir;
  RtWcsCopyBounded(name, LAUNCHER_PATH_SIZE, kSessionNamespace);
  unsigned at = kNamespaceLength;
  for (; *kept; kept++) name[at++] = *kept == L'\\' ? L'/' : *kept;
  name[at] = 0;
}

}  // namespace

int TakeRunLock(const wchar_t *installDir) {
  wchar_t name[LAUNCHER_PATH_SIZE];
  MakeLockName(installDir, name);
  // The handle stays open until the process ends; that is the lock.
  HANDLE lock = CreateMutexW(0, FALSE, name);
  DWORD error = GetLastError();
  if (lock) return error != ERROR_ALREADY_EXISTS;
  // Denied: it exists, made by another run we may not open. Any other
  // failure (a squatted name, no resources) must not stop every install.
  return error != ERROR_ACCESS_DENIED;
}
