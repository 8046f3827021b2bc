// Process entry of a program built on this runtime (no C runtime start-up).
#include "rt.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);

// The command line as a C runtime hands it to wWinMain: the program name
// (quoted or not) and the blanks after it are skipped.
static LPWSTR ArgumentsOf(LPWSTR line) {
  if (*line == L'"') {
    line++;
    while (*line && *line != L'"') line++;
    if (*line == L'"') line++;
  } else {
    while (*line && *line != L' ' && *line != L'\t') line++;
  }
  while (*line == L' ' || *line == L'\t') line++;
  return line;
}

extern "C" void WinMainCRTStartup(void) {
  STARTUPINFOW startup;
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
  int code = wWinMain(GetModuleHandleW(0), 0, ArgumentsOf(GetCommandLineW()), show);
  ExitProcess((UINT)code);
}
