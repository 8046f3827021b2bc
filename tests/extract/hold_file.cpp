// Holds a file open the way another program using it would, so that a test
// can see what extraction does to a file that is in use.
//
// Usage: hold_file FILE MARKER MILLISECONDS
// Opens FILE (which must exist) for reading and writing with no sharing,
// then creates MARKER to tell the test the file is held, and keeps the file
// open until it is killed or MILLISECONDS have passed (so that a test that
// dies cannot leave it behind for long).

#include <windows.h>

#include <stdlib.h>

int main(int argc, char **argv) {
  if (argc != 4) return 2;
  HANDLE held = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 3;
  HANDLE marker = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) return 4;
  CloseHandle(marker);
  Sleep((DWORD)atoi(argv[3]));
  CloseHandle(held);
  return 0;
}
