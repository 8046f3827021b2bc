// Child of the print tests: a GUI program without a C runtime, like the
// launcher, that prints a fixed script through RtPrintW and RtPrintA and
// exits with the code given as its first argument (a decimal number, may be
// negative). The exit code shows that the prints returned: a print that
// crashed or hung would not end with it.
//
// An optional second argument spoils the standard output handle before the
// first print, for the cases a parent cannot hand over (Wine gives a child
// a null handle for any invalid one it is passed):
//   invalid  INVALID_HANDLE_VALUE
//   bogus    a handle value that names nothing
//   closed   the inherited handle, closed
#include <limits.h>

#include "rt.h"

static const wchar_t *SkipBlanks(const wchar_t *s) {
  while (*s == L' ') s++;
  return s;
}

static int StartsWith(const wchar_t *s, const wchar_t *word) {
  while (*word && *s == *word) s++, word++;
  return !*word;
}

static int ParseInt(const wchar_t *s) {
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
  const wchar_t *code = SkipBlanks(arguments);
  const wchar_t *mode = code;
  while (*mode && *mode != L' ') mode++;
  mode = SkipBlanks(mode);
  if (StartsWith(mode, L"invalid")) SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
  if (StartsWith(mode, L"bogus")) SetStdHandle(STD_OUTPUT_HANDLE, (HANDLE)(UINT_PTR)0x7FF0);
  if (StartsWith(mode, L"closed")) CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));

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
  return ParseInt(code);
}
