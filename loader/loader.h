// The launcher's loader: the install directory, the directory chain routine
// and CLoader, which unpacks the payload, checks the result and starts the
// downloader.
#pragma once

#include <windows.h>

// The install suffix, the downloader's name and the path limit (every path
// the loader builds lives in a buffer of LAUNCHER_PATH_SIZE units).
#include "launcher_facts.h"

// Exit codes of a run.
enum {
  LOADER_EXIT_OK = 0,
  LOADER_EXIT_NO_LOCAL_FOLDER = -3,   // the local application-data folder cannot be had
  LOADER_EXIT_DIR_TOO_LONG = -4,      // the install directory does not fit the path limit
};

// Creates every missing directory along path, the last component included.
void CreateDirectoryTree(const wchar_t *path);

// Takes the named mutex of the install directory for the rest of the
// process. 0: another run holds it, and this one must touch nothing.
int TakeRunLock(const wchar_t *installDir);

class CLoader {
 public:
  wchar_t m_szDir[LAUNCHER_PATH_SIZE];  // install directory, ends with a backslash

  int Extract();  // 1: the payload was opened, every item visited, and no file
                  // whose data failed is left on disk
  int Check();    // 1: every file item of the payload is on disk
  int Start();    // 1: the downloader was handed to the shell
};
