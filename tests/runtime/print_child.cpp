// Child of the print tests: a GUI program without a C runtime, like the
// launcher, that prints a fixed script through RtPrintW and RtPrintA and
// exits with the code given as its only argument (a decimal number, may be
// negative). The exit code shows that the prints returned: a print that
// crashed or hung would not end with it.
#include <limits.h>

#include "rt.h"

static int ParseInt(const wchar_t *s) {
  while (*s == L' ') s++;
  int sign = 1;
  if (*s == L'-') {
    sign = -1;
    s++;
  }
  int value = 0;
  for (; *s >= L'0' && *s <= L'9'; s++) value = value * 10 + (*s - L'0');
  return sign * value;
}

static char g_line[2048];
static wchar_t g_wide[2048];

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR arguments, int) {
  RtPrintW(L"dir:%s\n", L"C:\\users\\caf\x00e9\\\x4e2d\\");
  RtPrintA("narrow %s %d %u\n", "text", INT_MIN, UINT_MAX);
  RtPrintW(L"UnZipItem(%d)=%p\n", 3, (void *)0x400);

  // 511 characters and a line feed: the CR fills the print's 512-byte
  // buffer, the LF goes into the next one.
  for (int i = 0; i < 511; i++) g_line[i] = 'x';
  g_line[511] = 0;
  RtPrintA("%s\n", g_line);

  // One argument several buffers long.
  for (int i = 0; i < 1500; i++) g_wide[i] = (wchar_t)(L'a' + i % 26);
  g_wide[1500] = 0;
  RtPrintW(L"<%s>\n", g_wide);

  RtPrintW(L"end without a line feed");
  return ParseInt(arguments);
}
