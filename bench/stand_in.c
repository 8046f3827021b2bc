/* Stands in for the downloader in the benchmark payloads: the launcher
 * hands "dw_dlr.exe" to the shell after every good run, so the payload's
 * copy must be a program that starts, leaves a sign that it ran and ends at
 * once, without a window. The payload pads it to the shipped size with
 * PE bytes behind the image, which the loader never maps.
 *
 * Built without a C runtime: the only import is KERNEL32. */
#include <windows.h>

void __stdcall BenchStandInEntry(void) {
  /* The shell starts it in the install directory: the sign lands there. */
  HANDLE file = CreateFileW(L"bench_started.txt", GENERIC_WRITE, 0, 0, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, 0);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, "started\r\n", 9, &written, 0);
    CloseHandle(file);
  }
  ExitProcess(0);
}
