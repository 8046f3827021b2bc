// The demo downloader: records that it started, where, and with which
// command line, in "dw_dlr_started.txt" beside itself, then exits.
#include "rt.h"

static void AppendUtf8(HANDLE file, const wchar_t *text) {
  char bytes[4 * MAX_PATH * 2];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, 0, 0);
  DWORD written = 0;
  if (n > 1) WriteFile(file, bytes, (DWORD)(n - 1), &written, 0);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  wchar_t record[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(0, record, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return 1;
  wchar_t *slash = RtWcsRChr(record, L'\\');
  if (!slash) return 1;
  RtWcsCopyBounded(slash + 1, (unsigned)(MAX_PATH * 2 - (slash + 1 - record)), L"dw_dlr_started.txt");

  HANDLE file = CreateFileW(record, GENERIC_WRITE, FILE_SHARE_READ, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
  if (file == INVALID_HANDLE_VALUE) return 1;
  wchar_t cwd[MAX_PATH * 2];
  cwd[0] = 0;
  GetCurrentDirectoryW(MAX_PATH * 2, cwd);
  AppendUtf8(file, L"started\r\ncwd=");
  AppendUtf8(file, cwd);
  AppendUtf8(file, L"\r\ncmdline=");
  AppendUtf8(file, GetCommandLineW());
  AppendUtf8(file, L"\r\n");
  CloseHandle(file);
  return 0;
}
