// Fault reporter and watchdog (see case_monitor.h). The reporting paths use
// plain Win32 calls only: when they run, the C runtime may be in any state.
#include "case_monitor.h"

#include <windows.h>

namespace {

char g_case[512] = "(no case)";
volatile LONG g_serial = 0;   // grows with every StartCase and EndCase
volatile LONG g_running = 0;  // a case is running
unsigned g_limitSeconds = 0;

void WriteError(const char *text) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written;
  if (err && err != INVALID_HANDLE_VALUE) WriteFile(err, text, lstrlenA(text), &written, nullptr);
}

bool IsFatal(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
    case STATUS_HEAP_CORRUPTION:
      return true;
    default:
      return false;
  }
}

LONG CALLBACK OnException(EXCEPTION_POINTERS *info) {
  DWORD code = info->ExceptionRecord->ExceptionCode;
  if (!IsFatal(code)) return EXCEPTION_CONTINUE_SEARCH;
  char line[800];
  ULONG_PTR address = 0, operation = 0;
  if (code == EXCEPTION_ACCESS_VIOLATION && info->ExceptionRecord->NumberParameters >= 2) {
    operation = info->ExceptionRecord->ExceptionInformation[0];
    address = info->ExceptionRecord->ExceptionInformation[1];
  }
  wsprintfA(line, "FAULT: exception %08lX at code %p, %s of address %p, in case: %s\n", code,
            info->ExceptionRecord->ExceptionAddress, operation == 1 ? "write" : "read", (void *)address,
            g_case);
  WriteError(line);
  TerminateProcess(GetCurrentProcess(), kFaultExitCode);
  return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI Watch(void *) {
  LONG seen = g_serial;
  unsigned still = 0;
  for (;;) {
    Sleep(1000);
    LONG now = g_serial;
    if (now != seen || !g_running) {
      seen = now;
      still = 0;
      continue;
    }
    if (++still < g_limitSeconds) continue;
    char line[700];
    wsprintfA(line, "HANG: no progress for %u s in case: %s\n", g_limitSeconds, g_case);
    WriteError(line);
    TerminateProcess(GetCurrentProcess(), kHangExitCode);
  }
}

}  // namespace

void InstallFaultReporter() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  AddVectoredExceptionHandler(1, OnException);
}

void StartWatchdog(unsigned seconds) {
  static bool started = false;
  if (started) return;
  started = true;
  g_limitSeconds = seconds;
  HANDLE thread = CreateThread(nullptr, 0, Watch, nullptr, 0, nullptr);
  if (thread) CloseHandle(thread);
}

void StartCase(const std::string &id) {
  lstrcpynA(g_case, id.c_str(), sizeof g_case);
  g_running = 1;
  InterlockedIncrement(&g_serial);
}

void EndCase() {
  g_running = 0;
  InterlockedIncrement(&g_serial);
}

void ReportAndExit(const char *what) {
  char line[900];
  wsprintfA(line, "ABORT: %s (case: %s)\n", what, g_case);
  WriteError(line);
  TerminateProcess(GetCurrentProcess(), kAbortExitCode);
  for (;;) {
  }
}
