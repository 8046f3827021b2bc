// The launcher's loader: the install directory, the directory chain routine
// and CLoader, which unpacks the payload, checks the result and starts the
// downloader.
#pragma once

#include <windows.h>

// Every path the loader builds lives in a buffer of this many units.
const unsigned LOADER_PATH_SIZE = MAX_PATH;

// Below the local application-data folder.
#define LOADER_INSTALL_SUFFIX L"\\selvane\\downloader\\tarnis\\"
#define LOADER_DOWNLOADER_NAME L"dw_dlr.exe"

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
  wchar_t m_szDir[LOADER_PATH_SIZE];  // install directory, ends with a backslash

  int Extract();  // 1: the payload was opened, every item visited, and no file
                  // whose data failed is left on disk
  int Check();    // 1: every file item of the payload is on disk
  int Start();    // 1: the downloader was handed to the shell
};
