/* The smallest GUI program: it ends at once. Its run time under Wine is the
 * start-up and tear-down cost that every Windows program pays there, which
 * the benchmark subtracts from the launcher's run time. */
#include <windows.h>

void __stdcall BenchTrivialEntry(void) { ExitProcess(0); }
