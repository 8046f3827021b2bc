// The launcher's entry: builds the install directory, unpacks, checks and
// starts the downloader.
#include <shlobj.h>

#include "loader.h"
#include "rt.h"
#include "trace.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  wchar_t dir[LAUNCHER_PATH_SIZE];
  for (unsigned i = 0; i < LAUNCHER_PATH_SIZE; i++) dir[i] = 0;
  if (!SHGetSpecialFolderPathW(0, dir, CSIDL_LOCAL_APPDATA, TRUE)) {
    DWORD error = GetLastError();
    RtPrintA(TRACE_NO_LOCAL_FOLDER, error);
    return LOADER_EXIT_NO_LOCAL_FOLDER;
  }
  if (RtWcsLen(dir) + RtWcsLen(LAUNCHER_INSTALL_SUFFIX) >= LAUNCHER_PATH_SIZE) {
    RtPrintW(TRACE_DIR_TOO_LONG, dir, LAUNCHER_INSTALL_SUFFIX);
    return LOADER_EXIT_DIR_TOO_LONG;
  }
  lstrcatW(dir, LAUNCHER_INSTALL_SUFFIX);
  // Before anything is touched: a second run at once does nothing at all.
  if (!TakeRunLock(dir)) {
    RtPrintW(TRACE_ANOTHER_RUN, dir);
    return LOADER_EXIT_OK;
  }
  RtPrintW(TRACE_DIR, dir);

  CLoader loader;
  for (unsigned i = 0; i < LAUNCHER_PATH_SIZE; i++) loader.m_szDir[i] = 0;
  CreateDirectoryTree(dir);
  lstrcpynW(loader.m_szDir, dir, LAUNCHER_PATH_SIZE);

  // A broken file that could not be removed would pass the check.
  int extracted = loader.Extract();
  int present = loader.Check();
  if (extracted && present) loader.Start();
  else RtPrintW(TRACE_NOT_FINISHED);
  return LOADER_EXIT_OK;
}
