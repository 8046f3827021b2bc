// Wide string routines of the runtime.
//
// The loader splits paths into components with RtWcsTok and copies the
// install directory into its fixed 260-unit buffer with RtWcsCopyBounded;
// the archive reader searches names with RtWcsRChr and RtWcsStr and copies
// them with RtWcsCopyCounted. The bounded routines are checked at the path
// limit with guard units behind the buffer, so a write of one unit too many
// shows up.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "rt.h"

namespace {

const wchar_t kGuard = 0xA5A5;

std::vector<std::wstring> Tokens(const wchar_t *text) {
  std::wstring copy = text;
  std::vector<std::wstring> tokens;
  wchar_t *context = nullptr;
  for (wchar_t *t = RtWcsTok(&copy[0], L"/\\", &context); t; t = RtWcsTok(nullptr, L"/\\", &context)) {
    tokens.push_back(t);
    if (tokens.size() > 20) break;  // a tokeniser that never ends
  }
  // Once exhausted it stays exhausted.
  EXPECT_EQ(RtWcsTok(nullptr, L"/\\", &context), nullptr);
  return tokens;
}

struct TokCase {
  const wchar_t *text;
  std::vector<std::wstring> tokens;
};

class Tokenise : public ::testing::TestWithParam<TokCase> {};

TEST_P(Tokenise, SplitsOnEitherSeparator) { EXPECT_EQ(Tokens(GetParam().text), GetParam().tokens); }

INSTANTIATE_TEST_SUITE_P(
    Runtime, Tokenise,
    ::testing::Values(TokCase{L"", {}}, TokCase{L"/", {}}, TokCase{L"/\\//\\\\", {}}, TokCase{L"abc", {L"abc"}},
                      TokCase{L"a/b\\c", {L"a", L"b", L"c"}}, TokCase{L"/a", {L"a"}}, TokCase{L"a/", {L"a"}},
                      TokCase{L"\\\\a//\\b\\/", {L"a", L"b"}},
                      TokCase{L"C:\\Users\\x\\AppData\\Local\\selvane\\",
                              {L"C:", L"Users", L"x", L"AppData", L"Local", L"selvane"}},
                      TokCase{L"..\\a b/.", {L"..", L"a b", L"."}}));

TEST(RuntimeTokenise, TokensLiveInTheCallersBuffer) {
  // The loader rebuilds a path from the pieces, so the tokens must be the
  // string itself cut in place, not copies.
  wchar_t text[] = L"ab//cd";
  wchar_t *context = nullptr;
  wchar_t *first = RtWcsTok(text, L"/\\", &context);
  wchar_t *second = RtWcsTok(nullptr, L"/\\", &context);
  EXPECT_EQ(first, text);
  EXPECT_EQ(second, text + 4);
  EXPECT_EQ(text[2], L'\0');
}

// A 260-unit buffer followed by guard units, all pre-filled.
struct GuardedPath {
  wchar_t units[260 + 8];
  GuardedPath() {
    for (wchar_t &u : units) u = kGuard;
  }
  void ExpectGuardsFrom(unsigned index) const {
    for (unsigned i = index; i < 268; i++) ASSERT_EQ(units[i], kGuard) << "unit " << i;
  }
};

struct CopyCase {
  unsigned sourceLength;
  unsigned copied;  // characters expected in the 260-unit buffer
};

class BoundedCopy : public ::testing::TestWithParam<CopyCase> {};

TEST_P(BoundedCopy, TakesAtMost259AndTerminates) {
  const CopyCase &c = GetParam();
  std::wstring source(c.sourceLength, L'p');
  for (unsigned i = 0; i < c.sourceLength; i++) source[i] = (wchar_t)(L'a' + i % 26);
  GuardedPath dst;
  RtWcsCopyBounded(dst.units, 260, source.c_str());
  EXPECT_EQ(std::wstring(dst.units, c.copied), source.substr(0, c.copied));
  EXPECT_EQ(dst.units[c.copied], L'\0');
  dst.ExpectGuardsFrom(260);
}

INSTANTIATE_TEST_SUITE_P(Runtime, BoundedCopy,
                         ::testing::Values(CopyCase{0, 0}, CopyCase{1, 1}, CopyCase{258, 258}, CopyCase{259, 259},
                                           CopyCase{260, 259}, CopyCase{261, 259}, CopyCase{1000, 259}));

TEST(RuntimeBoundedCopy, TinyBuffers) {
  wchar_t dst[4] = {kGuard, kGuard, kGuard, kGuard};
  RtWcsCopyBounded(dst, 0, L"abc");  // nothing at all
  EXPECT_EQ(dst[0], kGuard);
  RtWcsCopyBounded(dst, 1, L"abc");  // the terminator only
  EXPECT_EQ(dst[0], L'\0');
  EXPECT_EQ(dst[1], kGuard);
  RtWcsCopyBounded(dst, 3, L"abc");
  EXPECT_EQ(std::wstring(dst), L"ab");
  EXPECT_EQ(dst[3], kGuard);
}

struct AppendCase {
  const wchar_t *start;
  const wchar_t *tail;
  unsigned size;
  const wchar_t *expected;
};

class BoundedAppend : public ::testing::TestWithParam<AppendCase> {};

TEST_P(BoundedAppend, NeverGrowsPastTheBuffer) {
  const AppendCase &c = GetParam();
  wchar_t dst[32];
  for (wchar_t &u : dst) u = kGuard;
  unsigned i = 0;
  for (; c.start[i]; i++) dst[i] = c.start[i];
  dst[i] = 0;
  RtWcsAppendBounded(dst, c.size, c.tail);
  EXPECT_EQ(std::wstring(dst), c.expected);
  for (i = c.size; i < 32; i++) ASSERT_EQ(dst[i], kGuard) << "unit " << i;
}

INSTANTIATE_TEST_SUITE_P(Runtime, BoundedAppend,
                         ::testing::Values(AppendCase{L"", L"abc", 8, L"abc"}, AppendCase{L"ab", L"cd", 8, L"abcd"},
                                           AppendCase{L"abc", L"defgh", 8, L"abcdefg"},
                                           AppendCase{L"abc", L"defg", 8, L"abcdefg"},
                                           AppendCase{L"abcdefg", L"xyz", 8, L"abcdefg"},
                                           AppendCase{L"abc", L"", 8, L"abc"},
                                           AppendCase{L"abc", L"d", 5, L"abcd"}));

TEST(RuntimeBoundedAppend, AtThePathLimit) {
  // The install directory plus an item name, at and across 259 characters.
  for (unsigned tail : {1u, 2u, 50u}) {
    SCOPED_TRACE(tail);
    GuardedPath dst;
    std::wstring head(258, L'd');
    RtWcsCopyBounded(dst.units, 260, head.c_str());
    RtWcsAppendBounded(dst.units, 260, std::wstring(tail, L'n').c_str());
    EXPECT_EQ(RtWcsLen(dst.units), 259u);
    EXPECT_EQ(dst.units[258], L'n');
    EXPECT_EQ(dst.units[259], L'\0');
    dst.ExpectGuardsFrom(260);
  }
}

TEST(RuntimeBoundedAppend, UnterminatedBufferIsTerminatedInside) {
  GuardedPath dst;  // no terminator anywhere in the first 260 units
  RtWcsAppendBounded(dst.units, 260, L"x");
  EXPECT_LT(RtWcsLen(dst.units), 260u);
  dst.ExpectGuardsFrom(260);
}

TEST(RuntimeSearch, RChrFindsTheLastOccurrence) {
  const wchar_t *path = L"a\\b\\c.bin";
  EXPECT_EQ(RtWcsRChr(path, L'\\'), path + 3);
  EXPECT_EQ(RtWcsRChr(path, L'a'), path);
  EXPECT_EQ(RtWcsRChr(path, L'n'), path + 8);
  EXPECT_EQ(RtWcsRChr(path, L'/'), nullptr);
  EXPECT_EQ(RtWcsRChr(path, L'\0'), path + 9);
  EXPECT_EQ(RtWcsRChr(L"", L'\\'), nullptr);
}

struct StrCase {
  const wchar_t *text;
  const wchar_t *needle;
  int at;  // -1: not found
};

class Search : public ::testing::TestWithParam<StrCase> {};

TEST_P(Search, FindsTheFirstOccurrence) {
  const StrCase &c = GetParam();
  const wchar_t *found = RtWcsStr(c.text, c.needle);
  if (c.at < 0) {
    EXPECT_EQ(found, nullptr);
  } else {
    EXPECT_EQ(found, c.text + c.at);
  }
}

INSTANTIATE_TEST_SUITE_P(Runtime, Search,
                         ::testing::Values(StrCase{L"a/../b", L"../", 2}, StrCase{L"../x", L"../", 0},
                                           StrCase{L"x/..", L"../", -1}, StrCase{L"aaab", L"aab", 1},
                                           StrCase{L"abab..\\", L"..\\", 4}, StrCase{L"abc", L"abcd", -1},
                                           StrCase{L"abc", L"c", 2}, StrCase{L"abc", L"", 0},
                                           StrCase{L"", L"", 0}, StrCase{L"", L"a", -1}));

TEST(RuntimeCountedCopy, PadsWithZerosToExactlyCount) {
  wchar_t dst[10];
  for (wchar_t &u : dst) u = kGuard;
  RtWcsCopyCounted(dst, L"ab", 6);
  EXPECT_EQ(std::wstring(dst, 6), std::wstring(L"ab\0\0\0\0", 6));
  for (unsigned i = 6; i < 10; i++) EXPECT_EQ(dst[i], kGuard) << "unit " << i;
}

TEST(RuntimeCountedCopy, LongSourceIsCutWithoutTerminator) {
  wchar_t dst[10];
  for (wchar_t &u : dst) u = kGuard;
  RtWcsCopyCounted(dst, L"abcdefgh", 4);
  EXPECT_EQ(std::wstring(dst, 4), L"abcd");
  for (unsigned i = 4; i < 10; i++) EXPECT_EQ(dst[i], kGuard) << "unit " << i;

  for (wchar_t &u : dst) u = kGuard;
  RtWcsCopyCounted(dst, L"abcd", 4);  // exactly count units: no terminator either
  EXPECT_EQ(std::wstring(dst, 4), L"abcd");
  EXPECT_EQ(dst[4], kGuard);

  RtWcsCopyCounted(dst, L"zz", 0);  // nothing
  EXPECT_EQ(dst[0], L'a');
}

}  // namespace
