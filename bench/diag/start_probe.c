/* Diagnosis only: what a program with the launcher's imports pays under
 * Wine before and after its real work.
 *
 * It imports from the same four libraries as the launcher (KERNEL32,
 * USER32, SHELL32, SHLWAPI); under Wine, loading USER32 (which SHELL32 and
 * SHLWAPI load too) costs far more than a KERNEL32-only program's start.
 * Given a path, it also hands that program to the shell exactly as the
 * launcher's Start does (verb "open", the file's folder as working
 * directory, SW_SHOW), so the hand-off's cost can be told apart. */
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

void __stdcall BenchStartProbeEntry(void) {
  int count = 0;
  LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments && count > 1 && PathFileExistsW(arguments[1])) {
    wchar_t folder[MAX_PATH];
    lstrcpynW(folder, arguments[1], MAX_PATH);
    PathRemoveFileSpecW(folder);
    ShellExecuteW(0, L"open", arguments[1], 0, folder, SW_SHOW);
  }
  if (count < 0) MessageBoxW(0, L"", L"", 0); /* never: keeps the USER32 import */
  ExitProcess(0);
}
