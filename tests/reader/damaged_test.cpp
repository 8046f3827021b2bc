// Damaged archives through the handle interface: every truncation of a
// small archive, every cut from its front, every byte of it flipped or
// zeroed, and a few hostile field values. Each image is opened and every
// item is fetched (forwards, backwards, and out of range) before the handle
// is closed.
//
// What the payload may be (damaged on the way or replaced) is said in the
// mutation suite (tests/robustness/mutation_test.cpp); here: the reader must
// never read outside the image, never loop on a record it cannot pass, and
// answer with one of its codes. Each image sits right before a no-access page, so a read past its
// end crashes the test; a loop shows up as the test's CTest timeout.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "scoped_archive.h"
#include "zip_fixture.h"

namespace {

ZipFixture SmallArchive() {
  ZipFixture f;
  FixtureEntry a;
  a.name = "a.txt";
  a.data = "hello, stored";
  a.method = 0;
  f.entries.push_back(a);
  FixtureEntry dir;
  dir.name = "dir/";
  dir.method = 0;
  dir.externalAttributes = 0x41ED0010;
  f.entries.push_back(dir);
  FixtureEntry b;
  b.name = "dir/b.bin";
  b.data = SampleData(200);
  b.method = 8;
  b.localExtra = UtExtra(7, {1533536566, 1000000000, 1234567890});
  b.centralExtra = UtExtra(1, {1533536566});
  b.comment = "c";
  f.entries.push_back(b);
  f.archiveComment = "zz";
  return f;
}

bool IsItemResult(int r) {
  return r == UZ_OK || r == UZ_BAD_LOCAL_HEADER || r == UZ_SOURCE_READ_FAILED || r == UZ_BAD_ENTRY;
}

// What one image gave: the open result, and each fetch's result.
struct Outcome {
  int open = 0;
  int count = -1;
  std::vector<std::pair<int, int>> fetches;  // index, result
};

// Opens the image from guarded memory, fetches every item in both
// directions and a few indexes out of range, and closes the handle,
// checking that each answer is one the interface can give.
Outcome Exercise(const std::string &bytes) {
  Outcome out;
  GuardedImage image(bytes);
  ZipHandle *h = OpenZipBuffer(image.data(), image.size());
  out.open = LastZipResult;
  if (!h) {
    EXPECT_TRUE(out.open == ZS_IO_ERROR || out.open == ZS_BAD_ARCHIVE) << out.open;
    return out;
  }
  EXPECT_EQ(out.open, UZ_OK);
  ZipItemInfo info;
  EXPECT_EQ(GetZipItemInfo(h, -1, &info), UZ_OK);
  out.count = info.index;
  EXPECT_GE(out.count, 0);
  EXPECT_LE(out.count, 65535);
  std::vector<int> order;
  int walk = std::min(out.count, 6);
  for (int i = 0; i < walk; i++) order.push_back(i);
  for (int i = walk - 1; i >= 0; i--) order.push_back(i);
  if (out.count > walk) order.push_back(out.count - 1);
  for (int i : order) {
    memset(&info, 0xCC, sizeof info);
    int r = GetZipItemInfo(h, i, &info);
    EXPECT_EQ(LastZipResult, r);
    EXPECT_TRUE(IsItemResult(r)) << "item " << i << ": " << r;
    if (r == UZ_OK) {
      EXPECT_EQ(info.index, i);
      EXPECT_TRUE(std::find(std::begin(info.name), std::end(info.name), L'\0') != std::end(info.name));
    }
    out.fetches.push_back({i, r});
  }
  for (int i : {out.count, out.count + 1, -2}) EXPECT_EQ(GetZipItemInfo(h, i, &info), UZ_BAD_ARGUMENT);
  EXPECT_EQ(CloseZipArchive(h), UZ_OK);
  return out;
}

// The guard works: the byte after an image cannot be read.
TEST(Damaged, GuardPageFollowsTheImage) {
  for (size_t size : {0, 1, 4095, 4096, 4097}) {
    SCOPED_TRACE(size);
    GuardedImage image(std::string(size, 'g'));
    EXPECT_TRUE(IsBadReadPtr(image.data() + size, 1));
    if (size) {
      EXPECT_FALSE(IsBadReadPtr(image.data(), size));
    }
  }
}

TEST(Damaged, EveryTruncation) {
  const std::string bytes = SmallArchive().Build();
  for (size_t length = 0; length <= bytes.size(); length++) {
    SCOPED_TRACE(length);
    Outcome o = Exercise(bytes.substr(0, length));
    // Only the whole archive still has its end record where it belongs.
    if (length == bytes.size()) {
      EXPECT_EQ(o.open, UZ_OK);
      EXPECT_EQ(o.count, 3);
    }
    if (HasFailure()) return;
  }
}

// Cutting bytes off the front moves the archive before the offsets that its
// records give: the reader then reads at offsets that lie before or beyond
// the image.
TEST(Damaged, EveryCutFromTheFront) {
  const std::string bytes = SmallArchive().Build();
  for (size_t cut = 0; cut <= bytes.size(); cut++) {
    SCOPED_TRACE(cut);
    Exercise(bytes.substr(cut));
    if (HasFailure()) return;
  }
}

TEST(Damaged, EveryByteFlippedOrZeroed) {
  const std::string bytes = SmallArchive().Build();
  for (size_t at = 0; at < bytes.size(); at++) {
    for (int flip : {0xFF, 0x100}) {  // 0x100: set to 0
      SCOPED_TRACE(::testing::Message() << "byte " << at << (flip == 0xFF ? " flipped" : " zeroed"));
      std::string damaged = bytes;
      damaged[at] = flip == 0xFF ? (char)(damaged[at] ^ 0xFF) : '\0';
      Exercise(damaged);
      if (HasFailure()) return;
    }
  }
}

// Fields set to extreme values, with the answers they must give.
TEST(Damaged, HostileFieldValues) {
  struct Patch {
    enum Where { kCentral, kLocal, kEnd } where;
    size_t record;  // entry index (central, local)
    size_t field;
    int width;
    uint32_t value;
    bool fromImageEnd;  // value counts back from the end of the image
  };
  struct Case {
    const char *what;
    std::vector<Patch> patches;
    std::vector<std::pair<int, int>> expect;  // index, result
    int count;
  } cases[] = {
      {"local header offset far past the image", {{Patch::kCentral, 0, 42, 4, 0xFFFFFFF0, false}},
       {{0, UZ_BAD_LOCAL_HEADER}, {1, UZ_OK}}, 3},
      {"local header offset two bytes before the end", {{Patch::kCentral, 2, 42, 4, 2, true}},
       {{2, UZ_BAD_LOCAL_HEADER}}, 3},
      {"local extra length 0xFFFF", {{Patch::kLocal, 2, 28, 2, 0xFFFF, false}}, {{2, UZ_SOURCE_READ_FAILED}}, 3},
      {"local name length 0xFFFF", {{Patch::kLocal, 0, 26, 2, 0xFFFF, false}}, {{0, UZ_BAD_LOCAL_HEADER}}, 3},
      {"central name length 0xFFFF on the last record", {{Patch::kCentral, 2, 28, 2, 0xFFFF, false}},
       {{2, UZ_BAD_ENTRY}, {1, UZ_OK}}, 3},
      {"central extra length 0xFFFF on the first record", {{Patch::kCentral, 0, 30, 2, 0xFFFF, false}},
       {{0, UZ_OK}, {1, UZ_BAD_ENTRY}, {2, UZ_BAD_ENTRY}}, 3},
      {"central comment length 0xFFFF on the first record", {{Patch::kCentral, 0, 32, 2, 0xFFFF, false}},
       {{1, UZ_BAD_ENTRY}, {0, UZ_OK}}, 3},
      // More records announced than there are: the walk runs into the end
      // record and stops there, however far the target lies.
      {"65535 records announced", {{Patch::kEnd, 0, 8, 2, 0xFFFF, false}, {Patch::kEnd, 0, 10, 2, 0xFFFF, false}},
       {{3, UZ_BAD_ENTRY}, {65534, UZ_BAD_ENTRY}, {2, UZ_OK}, {100, UZ_BAD_ENTRY}}, 65535},
      // Offset plus size wraps around 2^32 and so passes the test against
      // the end record's position; nothing may be read outside the image.
      {"directory offset wraps around", {{Patch::kEnd, 0, 16, 4, 0xFFFFFFF0, false}}, {}, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FixtureLayout layout;
    std::string bytes = SmallArchive().Build(&layout);
    for (Patch p : c.patches) {
      size_t at = p.where == Patch::kCentral ? layout.centralRecord[p.record]
                  : p.where == Patch::kLocal ? layout.localHeader[p.record]
                                             : layout.endRecord;
      if (p.fromImageEnd) p.value = (uint32_t)bytes.size() - p.value;
      if (p.width == 4) PutU32(bytes, at + p.field, p.value);
      if (p.width == 2) PutU16(bytes, at + p.field, (uint16_t)p.value);
    }
    Outcome o = Exercise(bytes);
    EXPECT_EQ(o.count, c.count);
    GuardedImage image(bytes);
    ZipHandle *h = OpenZipBuffer(image.data(), image.size());
    ASSERT_NE(h, nullptr);
    for (const std::pair<int, int> &e : c.expect) {
      SCOPED_TRACE(e.first);
      ZipItemInfo info;
      EXPECT_EQ(GetZipItemInfo(h, e.first, &info), e.second);
    }
    CloseZipArchive(h);
  }
}

}  // namespace
