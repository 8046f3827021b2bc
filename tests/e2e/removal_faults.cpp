// Link-time fault injection for a test build of the launcher: the same
// loader, archive reader and entry as launcher.exe, with the two calls that
// remove a file the reader could not complete made to fail, as when another
// program (a virus scanner, an indexer) opens the new file in between.
//
// The build defines the import pointers of DeleteFileW and
// SetFileInformationByHandle itself, so the calls in the shipped code land
// here instead of in KERNEL32:
//   - DeleteFileW always fails with ERROR_SHARING_VIOLATION;
//   - SetFileInformationByHandle fails (ERROR_ACCESS_DENIED) for the delete
//     mark (FileDispositionInfo) when the environment variable
//     LAUNCHER_FAULT_DISPOSITION is set, and otherwise does its real work.
#include <windows.h>

namespace {

typedef BOOL(WINAPI *SetInformationCall)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

BOOL WINAPI FailingDeleteFileW(LPCWSTR) {
  SetLastError(ERROR_SHARING_VIOLATION);
  return FALSE;
}

BOOL WINAPI MaybeFailingSetInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data, DWORD size) {
  if (kind == FileDispositionInfo && GetEnvironmentVariableW(L"LAUNCHER_FAULT_DISPOSITION", 0, 0)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  SetInformationCall real =
      (SetInformationCall)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle");
  return real && real(file, kind, data, size);
}

}  // namespace

// The names MinGW's import libraries give these pointers on i686.
extern void *const ImportOfDeleteFileW __asm__("__imp__DeleteFileW@4");
extern void *const ImportOfSetFileInformationByHandle __asm__("__imp__SetFileInformationByHandle@16");
void *const ImportOfDeleteFileW = (void *)FailingDeleteFileW;
void *const ImportOfSetFileInformationByHandle = (void *)MaybeFailingSetInformation;
