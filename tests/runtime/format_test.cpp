// Formatting of the runtime's prints (RtFormatW, RtFormatA).
//
// Every trace line of the launcher goes through this formatter, so each
// conversion is checked in both the wide and the narrow form, as are the
// text-mode line feed, the narrowing of wide text to one byte a unit, and
// the truncation at the caller's buffer size, which must never write past
// the buffer and must always leave a terminated string.
#include <limits.h>
#include <string.h>

#include <string>

#include "gtest/gtest.h"
#include "rt.h"

namespace {

const unsigned kBig = 256;

// The wide or the narrow entry point, by the format's character type.
unsigned RtFormat(char *out, unsigned size, const wchar_t *format, va_list args) {
  return RtFormatW(out, size, format, args);
}
unsigned RtFormat(char *out, unsigned size, const char *format, va_list args) {
  return RtFormatA(out, size, format, args);
}

template <typename CharT>
std::string Format(const CharT *format, ...) {
  char out[kBig];
  va_list args;
  va_start(args, format);
  unsigned n = RtFormat(out, sizeof out, format, args);
  va_end(args);
  EXPECT_EQ(n, strlen(out));
  return std::string(out, n);
}

struct IntCase {
  const char *conversion;  // "%d", "%u" or "%p"
  unsigned value;          // passed as int, unsigned or pointer
  const char *expected;
};

class IntConversion : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntConversion, WideAndNarrowAgree) {
  const IntCase &c = GetParam();
  std::string a, w;
  if (!strcmp(c.conversion, "%d")) {
    a = Format("[%d]", (int)c.value);
    w = Format(L"[%d]", (int)c.value);
  } else if (!strcmp(c.conversion, "%u")) {
    a = Format("[%u]", c.value);
    w = Format(L"[%u]", c.value);
  } else {
    a = Format("[%p]", (void *)(UINT_PTR)c.value);
    w = Format(L"[%p]", (void *)(UINT_PTR)c.value);
  }
  std::string expected = std::string("[") + c.expected + "]";
  EXPECT_EQ(a, expected);
  EXPECT_EQ(w, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, IntConversion,
    ::testing::Values(IntCase{"%d", 0, "0"}, IntCase{"%d", 7, "7"}, IntCase{"%d", (unsigned)-1, "-1"},
                      IntCase{"%d", (unsigned)-12345, "-12345"}, IntCase{"%d", 1000000, "1000000"},
                      IntCase{"%d", (unsigned)INT_MAX, "2147483647"},
                      IntCase{"%d", (unsigned)INT_MIN, "-2147483648"}, IntCase{"%u", 0, "0"},
                      IntCase{"%u", 10, "10"}, IntCase{"%u", 0x80000000u, "2147483648"},
                      IntCase{"%u", UINT_MAX, "4294967295"}, IntCase{"%p", 0, "00000000"},
                      IntCase{"%p", 0x200, "00000200"}, IntCase{"%p", 0x1A2B3C4D, "1A2B3C4D"},
                      IntCase{"%p", 0xFFFFFFFF, "FFFFFFFF"}));

TEST(RuntimeFormat, StringsTakeTheFormatsOwnWidth) {
  EXPECT_EQ(Format(L"<%s>", L"wide"), "<wide>");
  EXPECT_EQ(Format("<%s>", "narrow"), "<narrow>");
  EXPECT_EQ(Format(L"<%s>", L""), "<>");
  EXPECT_EQ(Format(L"<%s>", (const wchar_t *)nullptr), "<(null)>");
  EXPECT_EQ(Format("<%s>", (const char *)nullptr), "<(null)>");
}

TEST(RuntimeFormat, ArgumentsAreConsumedInOrder) {
  // A conversion that took the wrong size from the list would shift every
  // later argument.
  EXPECT_EQ(Format(L"%s=%d,%u,%p,%s%%", L"k", -3, 4u, (void *)0xAB, L"end"), "k=-3,4,000000AB,end%");
  EXPECT_EQ(Format("%s=%d,%u,%p,%s%%", "k", -3, 4u, (void *)0xAB, "end"), "k=-3,4,000000AB,end%");
  EXPECT_EQ(Format(L"100%% %d%%", 5), "100% 5%");
}

TEST(RuntimeFormat, LineFeedBecomesCrLf) {
  EXPECT_EQ(Format(L"a\nb\n"), "a\r\nb\r\n");
  EXPECT_EQ(Format("a\nb\n"), "a\r\nb\r\n");
  EXPECT_EQ(Format(L"\n\n"), "\r\n\r\n");
  // Line feeds that arrive through an argument are text too.
  EXPECT_EQ(Format(L"%s", L"x\ny"), "x\r\ny");
  EXPECT_EQ(Format("%s", "x\ny"), "x\r\ny");
}

TEST(RuntimeFormat, WideTextIsNarrowedOneByteAUnit) {
  // Latin-1 units keep their value as one byte; anything from U+0100 up
  // becomes '?', one per unit (a surrogate pair gives two).
  EXPECT_EQ(Format(L"caf\x00e9"), "caf\xE9");
  EXPECT_EQ(Format(L"%s", L"caf\x00e9"), "caf\xE9");
  EXPECT_EQ(Format(L"%s", L"\x0080\x00ff"), "\x80\xFF");
  EXPECT_EQ(Format(L"[%s]", L"\x0100\x4e2d\xffff"), "[???]");
  EXPECT_EQ(Format(L"[\x4e2d%s]", L"\xd83d\xde00"), "[???]");
  // Text after an unmappable unit is kept.
  EXPECT_EQ(Format(L"\x4e2d tail %d", 1), "? tail 1");
  // Narrow text passes through byte for byte.
  EXPECT_EQ(Format("%s", "caf\xE9"), "caf\xE9");
}

// Truncation: the output buffer sits in a larger block filled with a
// pattern; every byte behind the given size must keep it.
struct TruncationCase {
  unsigned size;
  const char *expected;  // what ends up in the buffer
};

class Truncation : public ::testing::TestWithParam<TruncationCase> {};

unsigned FormatInto(char *out, unsigned size, bool wide, ...) {
  va_list args;
  va_start(args, wide);
  unsigned n = wide ? RtFormatW(out, size, L"%s-%d\n", args) : RtFormatA(out, size, "%s-%d\n", args);
  va_end(args);
  return n;
}

TEST_P(Truncation, StopsAtTheBufferAndTerminates) {
  const TruncationCase &c = GetParam();
  // Full output: "abcdef-123\r\n" (12 bytes).
  for (bool wide : {true, false}) {
    SCOPED_TRACE(wide ? "wide" : "narrow");
    char block[64];
    memset(block, 0x55, sizeof block);
    unsigned n = wide ? FormatInto(block, c.size, true, L"abcdef", 123)
                      : FormatInto(block, c.size, false, "abcdef", 123);
    EXPECT_EQ(n, strlen(c.expected));
    EXPECT_EQ(std::string(block, n), c.expected);
    if (c.size > 0) {
      EXPECT_EQ(block[n], 0);
    }
    for (unsigned i = c.size; i < sizeof block; i++) ASSERT_EQ(block[i], 0x55) << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Runtime, Truncation,
                         ::testing::Values(TruncationCase{0, ""}, TruncationCase{1, ""}, TruncationCase{2, "a"},
                                           TruncationCase{7, "abcdef"}, TruncationCase{8, "abcdef-"},
                                           TruncationCase{11, "abcdef-123"},
                                           TruncationCase{13, "abcdef-123\r\n"},
                                           TruncationCase{40, "abcdef-123\r\n"}));

TEST(RuntimeFormat, LongOutputIsCutAtTheBuffer) {
  // Output far beyond the buffer, from a literal and from an argument.
  std::wstring longArg(3000, L'w');
  char block[300];
  memset(block, 0x55, sizeof block);
  unsigned n = FormatInto(block, 260, true, longArg.c_str(), 1);
  EXPECT_EQ(n, 259u);
  EXPECT_EQ(block[259], 0);
  EXPECT_EQ(std::string(block, 259), std::string(259, 'w'));
  for (unsigned i = 260; i < sizeof block; i++) ASSERT_EQ(block[i], 0x55) << "byte " << i;
}

}  // namespace
