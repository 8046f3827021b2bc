/* Runs a program to its end and reports the most memory it held.
 *
 * Usage: memprobe PROGRAM.exe
 * Prints one line: "private=<bytes> peak_working_set=<bytes> samples=<n>
 * exit=<code>".
 *
 * Windows keeps a peak of a process's private memory (PeakPagefileUsage),
 * and so do job objects, but Wine 8 fills neither: it answers
 * GetProcessMemoryInfo for another process from that process's Linux
 * /proc/<pid>/status while it lives (PagefileUsage is its anonymous resident
 * memory plus swap, PeakWorkingSetSize the kernel's peak resident set) and
 * with zeros once it has ended. So the program is sampled every millisecond
 * while it runs, and the largest private figure seen is reported with the
 * last peak working set. The launcher's memory is a plateau that lasts the
 * whole run (its image and a few fixed buffers), which sampling cannot miss.
 *
 * The program's standard output goes to NUL: its trace is not wanted here.
 */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: memprobe PROGRAM.exe\n");
    return 2;
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, 0, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, 0);
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = nul;
  startup.hStdError = nul;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(argv[1], 0, 0, 0, TRUE, 0, 0, 0, &startup, &process)) {
    fprintf(stderr, "memprobe: cannot start %s (error %lu)\n", argv[1], GetLastError());
    return 2;
  }
  SIZE_T privateMax = 0, peakWorkingSet = 0;
  unsigned samples = 0;
  do {
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof counters);
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters) && counters.PagefileUsage) {
      samples++;
      if (counters.PagefileUsage > privateMax) privateMax = counters.PagefileUsage;
      if (counters.PeakWorkingSetSize > peakWorkingSet) peakWorkingSet = counters.PeakWorkingSetSize;
    }
  } while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  printf("private=%lu peak_working_set=%lu samples=%u exit=%lu\n", (unsigned long)privateMax,
         (unsigned long)peakWorkingSet, samples, (unsigned long)code);
  return 0;
}
