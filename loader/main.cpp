#include "rt.h"
#include <shlwapi.h>
#include <shellapi.h>
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  RtPrintW(L"hello %s %d %p\n", L"w\x00e9\x0100", -5, (void*)0x200);
  wchar_t b[64]; wsprintfW(b, L"%d", 1);
  if (PathFileExistsW(b)) ShellExecuteW(0, L"open", b, 0, 0, 5);
  return 0;
}
