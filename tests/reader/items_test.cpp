// Item records behind the handle interface (unzip.h, zip_archive.h): what
// GetZipItemInfo makes of a central record and its local extra field
// (name, attributes, the three file times, sizes), the one-record cache and
// the reader's position between calls, the count record, and the result
// code of every call, which also lands in LastZipResult.
//
// The times matter most: the loader stamps every unpacked file with them,
// and the archive's MS-DOS time, its "UT" extra record and the conversion
// to FILETIME each have rules of their own. Archives are built field by
// field with ZipFixture and opened from guarded memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "expected_facts.h"
#include "file_times.h"
#include "scoped_archive.h"
#include "test_files.h"
#include "zip_fixture.h"

namespace {

// The fixture's default MS-DOS time 0x4D0672D7 is 2018-08-06 14:22:46, taken
// as it stands (no time-zone shift).
const uint64_t kDosTime = FileTimeOfUnix(1533565366);
// The FILETIME of 1980-01-01 00:00:00, the MS-DOS epoch.
const uint64_t kDosEpoch = FileTimeOfUnix(315532800);


// Nine items, each with its own name, size, method, time and attributes.
ZipFixture NineItems() {
  ZipFixture f;
  for (int i = 0; i < 9; i++) {
    FixtureEntry e = MakeEntry("item" + std::to_string(i) + ".dat", SampleData(100 + 37 * i, i), i % 2 ? 8 : 0);
    e.dosDateTime = DosDateTime(2000 + i, 1 + i, 10 + i, i, 2 * i, i);
    e.externalAttributes = i % 3 ? 0x81800000 : 0x00000021;
    e.localExtra = i == 4 ? UtExtra(1, {1000000000 + i}) : "";
    f.entries.push_back(e);
  }
  return f;
}

ZipItemInfo Filled(unsigned char byte) {
  ZipItemInfo info;
  memset(&info, byte, sizeof info);
  return info;
}

bool SameInfo(const ZipItemInfo &a, const ZipItemInfo &b) { return memcmp(&a, &b, sizeof a) == 0; }

// Fetches item index into a record filled with 0xCC, expecting result both
// as the answer and in LastZipResult.
ZipItemInfo FetchExpecting(ZipHandle *handle, int index, int result) {
  ZipItemInfo info = Filled(0xCC);
  LastZipResult = 0x1234;
  EXPECT_EQ(GetZipItemInfo(handle, index, &info), result);
  EXPECT_EQ(LastZipResult, result);
  return info;
}

// The nine-item archive, opened, with the layout its bytes were built with.
struct OpenNineItems {
  ZipFixture f = NineItems();
  FixtureLayout layout;
  ScopedArchive a{f.Build(&layout)};
};

// Wrecks item i's local header (with its name and extra field) and central
// record in the image, which is the caller's memory: afterwards only a
// fetch that answers from the cache, without reading the image, succeeds.
void WreckItem(ScopedArchive &a, const ZipFixture &f, const FixtureLayout &layout, int i) {
  unsigned char *image = a.image().data();
  memset(image + layout.localHeader[i], 0xEE, 30 + f.entries[i].name.size() + f.entries[i].localExtra.size());
  memset(image + layout.centralRecord[i], 0xEE, 46 + f.entries[i].name.size());
}

// Item i is answered from the cache: with its bytes wrecked, a fetch still
// gives expected. Leaves the item wrecked.
::testing::AssertionResult AnswersFromCache(ScopedArchive &a, const ZipFixture &f, const FixtureLayout &layout,
                                            int i, const ZipItemInfo &expected) {
  WreckItem(a, f, layout, i);
  ZipItemInfo again = Filled(0xCC);
  int result = GetZipItemInfo(a.get(), i, &again);
  if (result != UZ_OK) return ::testing::AssertionFailure() << "item " << i << " was read again: " << result;
  if (!SameInfo(again, expected)) return ::testing::AssertionFailure() << "item " << i << " changed";
  return ::testing::AssertionSuccess();
}

// ---- Attributes -------------------------------------------------------------

// The low byte is read as MS-DOS attributes and the high half as a Unix
// mode, for archives from every host; each row isolates one rule.
TEST(Attributes, FromExternalAttributes) {
  struct Case {
    uint32_t external, attributes;
  } cases[] = {
      {0x81800000, 0x80},  // Unix regular file, owner may write
      {0x81800020, 0xA0},  // plus MS-DOS archive
      {0x00000000, 0x81},  // no Unix mode: owner-write clear, so read-only
      {0x00000010, 0x91},  // MS-DOS directory, read-only as above
      {0x41ED0010, 0x90},  // Unix directory 0755 and MS-DOS directory
      {0x41ED0000, 0x90},  // Unix directory alone
      {0x40000000, 0x91},  // directory type bit alone
      {0x81240000, 0x81},  // Unix 0444
      {0x81800001, 0x81},  // MS-DOS read-only beats the owner-write bit
      {0x00000027, 0xA7},  // read-only, hidden, system, archive
      {0x00800002, 0x82},  // hidden
      {0x00800004, 0x84},  // system
      {0x00800008, 0x80},  // volume label bit: ignored
      {0x008000C0, 0x80},  // bits 6 and 7: ignored
      {0xA1FF0000, 0x80},  // Unix symbolic link 0777: an ordinary file
      {0xBF7FFFEF, 0xA7},  // every bit but the two directory bits and owner write
      {0xFFFFFFFF, 0xB7},
  };
  ZipFixture f;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.external);
    EXPECT_EQ(ZipAttributesFromExternal(c.external), c.attributes);
    f.entries.push_back(MakeEntry("f" + std::to_string(f.entries.size()), "x"));
    f.entries.back().externalAttributes = c.external;
  }
  // The same values reach the item records.
  ScopedArchive a(f.Build());
  ASSERT_NE(a.get(), nullptr);
  for (int i = 0; i < (int)f.entries.size(); i++) {
    SCOPED_TRACE(i);
    ZipItemInfo info;
    ASSERT_EQ(GetZipItemInfo(a.get(), i, &info), UZ_OK);
    EXPECT_EQ(info.attributes, cases[i].attributes);
  }
}

// ---- Times ------------------------------------------------------------------

struct Times {
  uint64_t access, creation, modify;
};

// Opens the archive f builds, one item per case, and checks each item's
// three times against its case's expectation.
template <typename Case, size_t N>
void ExpectItemTimes(const ZipFixture &f, const Case (&cases)[N]) {
  ScopedArchive a(f.Build());
  ASSERT_NE(a.get(), nullptr);
  ASSERT_EQ(f.entries.size(), N);
  for (size_t i = 0; i < N; i++) {
    SCOPED_TRACE(cases[i].what);
    ZipItemInfo info;
    ASSERT_EQ(GetZipItemInfo(a.get(), (int)i, &info), UZ_OK);
    EXPECT_EQ(FileTimeValue(info.accessTime), cases[i].expected.access);
    EXPECT_EQ(FileTimeValue(info.creationTime), cases[i].expected.creation);
    EXPECT_EQ(FileTimeValue(info.modifyTime), cases[i].expected.modify);
  }
}

// The local extra field decides; each row is one item of one archive.
TEST(Times, FromTheLocalExtraField) {
  const int32_t A = 1533536566, B = 1000000000, C = 1234567890;
  const uint64_t a = FileTimeOfUnix(A), b = FileTimeOfUnix(B), c = FileTimeOfUnix(C), d = kDosTime;
  const std::string other300 = ExtraRecord(0x000A, std::string(300, '\x55'));
  std::string fakeUt = UtExtra(1, {B});  // "UT" inside another record's data
  struct Case {
    const char *what;
    std::string localExtra;
    Times expected;
  } cases[] = {
      {"no extra field", "", {d, d, d}},
      {"flags 7", UtExtra(7, {A, B, C}), {b, c, a}},
      {"flags 1", UtExtra(1, {A}), {d, d, a}},
      {"flags 2: the first value is the access time", UtExtra(2, {B}), {b, d, d}},
      {"flags 4: the first value is the creation time", UtExtra(4, {C}), {d, c, d}},
      {"flags 6", UtExtra(6, {B, C}), {b, c, d}},
      {"flags 5", UtExtra(5, {A, C}), {d, c, a}},
      {"other flag bits ignored", UtExtra(0xF9, {A}), {d, d, a}},
      {"behind a 300-byte record", other300 + UtExtra(1, {A}), {d, d, a}},
      {"behind two records", ExtraRecord(0x7875, std::string("\x01\x04\xE8\x03\x00\x00", 6)) + other300 + UtExtra(3, {A, B}),
       {b, d, a}},
      {"\"UT\" inside another record's data", ExtraRecord(0x6375, fakeUt + "pad"), {d, d, d}},
      {"a second UT record is ignored", UtExtra(1, {A}) + UtExtra(7, {B, C, C}), {d, d, a}},
      {"nothing after a UT record with flags 0", UtExtra(0, {}) + UtExtra(7, {A, B, C}), {d, d, d}},
      {"four bytes: no scan", std::string("UT\x00\x00", 4), {d, d, d}},
      {"another record, then four bytes", other300 + std::string("UT\x00\x00", 4), {d, d, d}},
      {"time 0", UtExtra(1, {0}), {d, d, 116444736000000000ull}},
      {"time 1533536566", UtExtra(1, {1533536566}), {d, d, 131780101660000000ull}},
      {"time -1", UtExtra(1, {-1}), {d, d, 116444735990000000ull}},
      {"time -43200", UtExtra(1, {-43200}), {d, d, FileTimeOfUnix(-43200)}},
      {"time 2147483647", UtExtra(1, {2147483647}), {d, d, FileTimeOfUnix(2147483647)}},
      // Below -43200 the breakdown refuses; that time keeps the MS-DOS value.
      {"times below -43200", UtExtra(7, {-43201, -43200, INT32_MIN}), {FileTimeOfUnix(-43200), d, d}},
      // Flags that announce more times than the field holds: only whole
      // times inside the field count.
      {"flags 7, one time in the field", UtExtra(7, {A, B, C}).substr(0, 9), {d, d, a}},
      {"flags 7, one and a half times", UtExtra(7, {A, B, C}).substr(0, 11), {d, d, a}},
      {"flags 1, no time in the field", UtExtra(1, {A}).substr(0, 5), {d, d, d}},
      {"flags 1, three bytes of a time", UtExtra(1, {A}).substr(0, 8), {d, d, d}},
  };
  ZipFixture f;
  for (const Case &cs : cases) {
    f.entries.push_back(MakeEntry("t" + std::to_string(f.entries.size()), "x"));
    f.entries.back().localExtra = cs.localExtra;
  }
  ExpectItemTimes(f, cases);
}

// Only the local extra field is scanned: a "UT" record in the central
// record's extra field (where tools put the modification time only) plays
// no part.
TEST(Times, TheCentralExtraFieldIsNotUsed) {
  ZipFixture f;
  f.entries.push_back(MakeEntry("central-only", "x"));
  f.entries[0].centralExtra = UtExtra(1, {1000000000});
  f.entries.push_back(MakeEntry("both", "x"));
  f.entries[1].centralExtra = UtExtra(1, {1000000000});
  f.entries[1].localExtra = UtExtra(1, {1533536566});
  ScopedArchive a(f.Build());
  ASSERT_NE(a.get(), nullptr);
  ZipItemInfo info;
  ASSERT_EQ(GetZipItemInfo(a.get(), 0, &info), UZ_OK);
  EXPECT_EQ(FileTimeValue(info.modifyTime), kDosTime);
  ASSERT_EQ(GetZipItemInfo(a.get(), 1, &info), UZ_OK);
  EXPECT_EQ(FileTimeValue(info.modifyTime), 131780101660000000ull);
}

// The MS-DOS date and time are taken as they stand; an impossible one
// becomes the MS-DOS epoch for all three times before any "UT" value.
TEST(Times, FromTheMsDosDateAndTime) {
  struct Case {
    const char *what;
    uint32_t dosDateTime;
    std::string localExtra;
    Times expected;
  } cases[] = {
      {"0x4D0672D7", 0x4D0672D7, "", {kDosTime, kDosTime, kDosTime}},
      {"1980-01-01 00:00:00", DosDateTime(1980, 1, 1, 0, 0, 0), "", {kDosEpoch, kDosEpoch, kDosEpoch}},
      {"2107-12-31 23:59:58", DosDateTime(2107, 12, 31, 23, 59, 29), "",
       {FileTimeOfUnix(4354819198), FileTimeOfUnix(4354819198), FileTimeOfUnix(4354819198)}},
      {"month 0", DosDateTime(2018, 0, 6, 14, 22, 23), "", {kDosEpoch, kDosEpoch, kDosEpoch}},
      {"day 0", DosDateTime(2018, 8, 0, 14, 22, 23), "", {kDosEpoch, kDosEpoch, kDosEpoch}},
      {"February 30", DosDateTime(2018, 2, 30, 0, 0, 0), "", {kDosEpoch, kDosEpoch, kDosEpoch}},
      {"hour 24", DosDateTime(2018, 8, 6, 24, 0, 0), "", {kDosEpoch, kDosEpoch, kDosEpoch}},
      {"month 0 with a UT time", DosDateTime(2018, 0, 6, 14, 22, 23), UtExtra(1, {1533536566}),
       {kDosEpoch, kDosEpoch, 131780101660000000ull}},
  };
  ZipFixture f;
  for (const Case &c : cases) {
    f.entries.push_back(MakeEntry("d" + std::to_string(f.entries.size()), "x"));
    f.entries.back().dosDateTime = c.dosDateTime;
    f.entries.back().localExtra = c.localExtra;
  }
  ExpectItemTimes(f, cases);
}

// ---- Records, cache and position --------------------------------------------

// Every field of an item record, checked against what the fixture wrote.
TEST(Items, RecordsDescribeTheirEntries) {
  ZipFixture f = NineItems();
  f.prefix = std::string(100, '\0');
  f.entries[2].name = "dir/";
  f.entries[2].data = "";
  f.entries[2].externalAttributes = 0x41ED0010;
  f.entries[3].name = "caf\xE9\\r\xE9sum\xE9.txt";  // CP1252 bytes and a backslash
  f.entries[5].name = "/leading/slash";
  FixtureLayout layout;
  std::string bytes = f.Build(&layout);
  ScopedArchive a(bytes);
  ASSERT_NE(a.get(), nullptr);
  const wchar_t *wideNames[9] = {L"item0.dat", L"item1.dat", L"dir/", L"caf\u00E9\\r\u00E9sum\u00E9.txt",
                                 L"item4.dat", L"/leading/slash", L"item6.dat", L"item7.dat", L"item8.dat"};
  for (int i = 0; i < 9; i++) {
    SCOPED_TRACE(i);
    const FixtureEntry &e = f.entries[i];
    ZipItemInfo info = Filled(0xCC);
    LastZipResult = 0x1234;
    ASSERT_EQ(GetZipItemInfo(a.get(), i, &info), UZ_OK);
    EXPECT_EQ(LastZipResult, UZ_OK);
    EXPECT_EQ(info.index, i);
    EXPECT_EQ(std::wstring(info.name), wideNames[i]);
    EXPECT_EQ(info.attributes, ZipAttributesFromExternal(e.externalAttributes));
    uint32_t packed = (i < 8 ? layout.localHeader[i + 1] : layout.directoryOffset) - layout.dataOffset[i];
    EXPECT_EQ(info.compressedSize, packed);
    EXPECT_EQ(info.uncompressedSize, e.data.size());
    const uint64_t dos = FileTimeOfDos(e.dosDateTime);
    EXPECT_EQ(FileTimeValue(info.accessTime), dos);
    EXPECT_EQ(FileTimeValue(info.creationTime), dos);
    EXPECT_EQ(FileTimeValue(info.modifyTime), i == 4 ? FileTimeOfUnix(1000000004) : dos);
    // The narrow record, which extraction uses, keeps the name's bytes as stored.
    ZipItemInfoNarrow narrow;
    ASSERT_EQ(a.archive()->GetItem(i, &narrow), UZ_OK);
    EXPECT_EQ(std::string(narrow.name), e.name);
  }
}

// A repeated fetch answers from the cache without reading the image: the
// image's bytes for that item are wrecked after the first fetch (the memory
// belongs to the caller), and the second answer is still the first.
TEST(Items, SameIndexTwiceReadsNothing) {
  OpenNineItems n;
  ASSERT_NE(n.a.get(), nullptr);
  ZipItemInfo first;
  ASSERT_EQ(GetZipItemInfo(n.a.get(), 4, &first), UZ_OK);
  EXPECT_TRUE(AnswersFromCache(n.a, n.f, n.layout, 4, first));

  // The damage is real: once the cache holds another item, item 4 fails.
  ZipItemInfo second;
  ASSERT_EQ(GetZipItemInfo(n.a.get(), 3, &second), UZ_OK);
  ZipItemInfo third = Filled(0xCC);
  EXPECT_NE(GetZipItemInfo(n.a.get(), 4, &third), UZ_OK);
  EXPECT_TRUE(SameInfo(third, Filled(0xCC)));
}

// Items fetched in any order equal the items fetched from a fresh handle:
// the reader walks on from where it stands and rewinds when the target lies
// behind it.
TEST(Items, AnyOrderGivesTheRightRecords) {
  std::string bytes = NineItems().Build();
  std::vector<ZipItemInfo> fresh(9);
  for (int i = 0; i < 9; i++) {
    ScopedArchive a(bytes);
    ASSERT_NE(a.get(), nullptr);
    ASSERT_EQ(GetZipItemInfo(a.get(), i, &fresh[i]), UZ_OK);
  }
  const std::vector<std::vector<int>> orders = {
      {5, 3}, {8, 0, 8}, {0, 1, 2, 3, 4, 5, 6, 7, 8}, {8, 7, 6, 5, 4, 3, 2, 1, 0}, {4, 4, 2, 2, 6, 0, 8, 1}};
  for (const std::vector<int> &order : orders) {
    ScopedArchive a(bytes);
    ASSERT_NE(a.get(), nullptr);
    for (size_t k = 0; k < order.size(); k++) {
      int i = order[k];
      SCOPED_TRACE(::testing::Message() << "step " << k << ", item " << i);
      ZipItemInfo info = Filled(0xCC);
      ASSERT_EQ(GetZipItemInfo(a.get(), i, &info), UZ_OK);
      EXPECT_TRUE(SameInfo(info, fresh[i]));
    }
  }
}

// Index -1 gives the count record: the count, and every other field empty.
// It does not touch the cache.
TEST(Items, CountRecord) {
  OpenNineItems n;
  ASSERT_NE(n.a.get(), nullptr);
  ZipItemInfo five;
  ASSERT_EQ(GetZipItemInfo(n.a.get(), 5, &five), UZ_OK);

  ZipItemInfo count = Filled(0xCC);
  LastZipResult = 0x1234;
  ASSERT_EQ(GetZipItemInfo(n.a.get(), -1, &count), UZ_OK);
  EXPECT_EQ(LastZipResult, UZ_OK);
  EXPECT_EQ(count.index, 9);
  EXPECT_EQ(count.name[0], L'\0');
  EXPECT_EQ(count.attributes, 0u);
  EXPECT_EQ(FileTimeValue(count.accessTime), 0u);
  EXPECT_EQ(FileTimeValue(count.creationTime), 0u);
  EXPECT_EQ(FileTimeValue(count.modifyTime), 0u);
  EXPECT_EQ(count.compressedSize, 0u);
  EXPECT_EQ(count.uncompressedSize, 0u);
  EXPECT_TRUE(AnswersFromCache(n.a, n.f, n.layout, 5, five));

  // Item 0 is still read from the archive afterwards.
  ZipItemInfo zero;
  ASSERT_EQ(GetZipItemInfo(n.a.get(), 0, &zero), UZ_OK);
  EXPECT_EQ(std::wstring(zero.name), L"item0.dat");

  // An archive without items: the count is 0 and item 0 does not exist.
  ZipFixture empty;
  empty.prefix = "x";  // an end record at offset 0 would not be found
  ScopedArchive e(empty.Build());
  ASSERT_NE(e.get(), nullptr);
  ASSERT_EQ(GetZipItemInfo(e.get(), -1, &count), UZ_OK);
  EXPECT_EQ(count.index, 0);
  EXPECT_EQ(GetZipItemInfo(e.get(), 0, &count), UZ_BAD_ARGUMENT);
}

// ---- Result codes -------------------------------------------------------------

// GetZipItemInfo and UnZipItem on h both give code, in LastZipResult too,
// and write neither the record nor a file.
void ExpectItemCallsRefused(ZipHandle *h, int code) {
  ZipItemInfo info = Filled(0xCC);
  LastZipResult = 0x1234;
  EXPECT_EQ(GetZipItemInfo(h, 0, &info), code);
  EXPECT_EQ(LastZipResult, code);
  EXPECT_TRUE(SameInfo(info, Filled(0xCC)));
  TempDir dir;
  LastZipResult = 0x1234;
  EXPECT_EQ(UnZipItem(h, 0, (dir / L"out").c_str()), code);
  EXPECT_EQ(LastZipResult, code);
  EXPECT_FALSE(FileExists(dir / L"out"));
}

TEST(ResultCodes, MissingHandle) {
  ExpectItemCallsRefused(nullptr, UZ_BAD_ARGUMENT);
  LastZipResult = 0x1234;
  EXPECT_EQ(CloseZipArchive(nullptr), UZ_BAD_ARGUMENT);
  EXPECT_EQ(LastZipResult, UZ_BAD_ARGUMENT);
}

// A handle whose kind tag is not 1 is refused by every call, and closing it
// frees nothing: with the tag restored, the same handle still works.
TEST(ResultCodes, WrongHandleKind) {
  GuardedImage image(NineItems().Build());
  ZipHandle *h = OpenZipBuffer(image.data(), image.size());
  ASSERT_NE(h, nullptr);
  ZipArchive *archive = h->archive;
  for (int kind : {2, 0, -1, 0x101}) {
    SCOPED_TRACE(kind);
    h->kind = kind;
    ExpectItemCallsRefused(h, UZ_WRONG_HANDLE_KIND);
    LastZipResult = 0x1234;
    EXPECT_EQ(CloseZipArchive(h), UZ_WRONG_HANDLE_KIND);
    EXPECT_EQ(LastZipResult, UZ_WRONG_HANDLE_KIND);
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, h));
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, archive));
    EXPECT_EQ(h->archive, archive);
  }
  h->kind = 1;
  ZipItemInfo info;
  ASSERT_EQ(GetZipItemInfo(h, 8, &info), UZ_OK);
  EXPECT_EQ(std::wstring(info.name), L"item8.dat");
  LastZipResult = 0x1234;
  EXPECT_EQ(CloseZipArchive(h), UZ_OK);
  EXPECT_EQ(LastZipResult, UZ_OK);
  EXPECT_FALSE(HeapValidate(GetProcessHeap(), 0, h));
}

// Indexes out of range leave the record, the reader and the cache alone.
TEST(ResultCodes, IndexOutOfRange) {
  OpenNineItems n;
  ASSERT_NE(n.a.get(), nullptr);
  ZipItemInfo six, info;
  ASSERT_EQ(GetZipItemInfo(n.a.get(), 6, &six), UZ_OK);
  for (int index : {-2, -3, INT32_MIN, 9, 10, 65535, INT32_MAX}) {
    SCOPED_TRACE(index);
    info = Filled(0xCC);
    LastZipResult = 0x1234;
    EXPECT_EQ(GetZipItemInfo(n.a.get(), index, &info), UZ_BAD_ARGUMENT);
    EXPECT_EQ(LastZipResult, UZ_BAD_ARGUMENT);
    EXPECT_TRUE(SameInfo(info, Filled(0xCC)));
  }
  EXPECT_TRUE(AnswersFromCache(n.a, n.f, n.layout, 6, six));
}

// A failed open leaves the reader's status in LastZipResult, and no handle.
TEST(ResultCodes, OpenFailures) {
  ZipFixture consistent = NineItems();
  ZipFixture otherDisk = NineItems();
  otherDisk.thisDisk = 1;
  ZipFixture countsDiffer = NineItems();
  countsDiffer.totalRecords = 10;
  ZipFixture emptyArchive;
  struct Case {
    const char *what;
    std::string bytes;
    int result;
  } cases[] = {
      {"an archive", consistent.Build(), UZ_OK},
      {"no end record", std::string(500, '\0'), ZS_IO_ERROR},
      // Without an end record the fields are read at offset 0 all the same;
      // here "number of this disk" comes out as 0x7A7A.
      {"no end record, other bytes", std::string(500, 'z'), ZS_BAD_ARCHIVE},
      {"nothing at all", "", ZS_IO_ERROR},
      {"only an end record, at offset 0", emptyArchive.Build(), ZS_IO_ERROR},
      {"this disk 1", otherDisk.Build(), ZS_BAD_ARCHIVE},
      {"counts differ", countsDiffer.Build(), ZS_BAD_ARCHIVE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    LastZipResult = 0x1234;
    ZipOpenStatus = 0x1234;
    ScopedArchive a(c.bytes);
    EXPECT_EQ(LastZipResult, c.result);
    EXPECT_EQ(ZipOpenStatus, c.result);
    EXPECT_EQ(a.get() != nullptr, c.result == UZ_OK);
  }
  LastZipResult = 0x1234;
  EXPECT_EQ(OpenZipBuffer(nullptr, 0), nullptr);
  EXPECT_EQ(LastZipResult, ZS_IO_ERROR);
}

// A local header that disagrees with its central record, or a local extra
// field that runs past the image: the fetch fails, the record is not
// written, the cache keeps the item before, and the reader stays on the
// failing item.
TEST(ResultCodes, BadLocalHeaderAndShortExtraField) {
  struct Case {
    const char *what;
    size_t field;  // in item 1's local header
    int width;
    uint32_t value;
    int result;
  } cases[] = {
      {"local method differs", 8, 2, 12, UZ_BAD_LOCAL_HEADER},
      {"local signature wrong", 0, 4, 0, UZ_BAD_LOCAL_HEADER},
      {"local CRC differs", 14, 4, 1, UZ_BAD_LOCAL_HEADER},
      {"local extra field past the end", 28, 2, 0xFFFF, UZ_SOURCE_READ_FAILED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ZipFixture f = NineItems();
    FixtureLayout layout;
    std::string bytes = f.Build(&layout);
    if (c.width == 4) PutU32(bytes, layout.localHeader[1] + c.field, c.value);
    if (c.width == 2) PutU16(bytes, layout.localHeader[1] + c.field, (uint16_t)c.value);
    ScopedArchive a(bytes);
    ASSERT_NE(a.get(), nullptr);
    ZipItemInfo zero;
    ASSERT_EQ(GetZipItemInfo(a.get(), 0, &zero), UZ_OK);
    ZipItemInfo info = Filled(0xCC);
    LastZipResult = 0x1234;
    EXPECT_EQ(GetZipItemInfo(a.get(), 1, &info), c.result);
    EXPECT_EQ(LastZipResult, c.result);
    EXPECT_TRUE(SameInfo(info, Filled(0xCC)));
    // Item 0 still comes from the cache; item 2 is read past the bad one.
    EXPECT_TRUE(AnswersFromCache(a, f, layout, 0, zero));
    ZipItemInfo again;
    EXPECT_EQ(GetZipItemInfo(a.get(), 2, &again), UZ_OK);
    EXPECT_EQ(std::wstring(again.name), L"item2.dat");
  }
}

// A central record that cannot be read, on the way to an item or as the
// item itself, gives UZ_BAD_ENTRY; the walk ends instead of spinning on a
// record it cannot pass, and the items before the damage stay readable.
TEST(ResultCodes, UnreadableCentralRecord) {
  struct Step {
    int index, result;
  };
  struct Case {
    const char *what;
    size_t record, field;
    int width;
    uint32_t value;
    std::vector<Step> steps;
  } cases[] = {
      {"record 3 has a wrong signature", 3, 0, 4, 0x02014B51,
       {{2, UZ_OK}, {5, UZ_BAD_ENTRY}, {3, UZ_BAD_ENTRY}, {0, UZ_OK}, {4, UZ_BAD_ENTRY}, {8, UZ_BAD_ENTRY},
        {1, UZ_OK}, {2, UZ_OK}, {3, UZ_BAD_ENTRY}}},
      // The walk reaches the last record; the re-read with its name fails
      // because the name runs past the end of the image.
      {"the last name runs past the end", 8, 28, 2, 0x4000,
       {{8, UZ_BAD_ENTRY}, {7, UZ_OK}, {8, UZ_BAD_ENTRY}, {0, UZ_OK}, {8, UZ_BAD_ENTRY}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ZipFixture f = NineItems();
    FixtureLayout layout;
    std::string bytes = f.Build(&layout);
    if (c.width == 4) PutU32(bytes, layout.centralRecord[c.record] + c.field, c.value);
    if (c.width == 2) PutU16(bytes, layout.centralRecord[c.record] + c.field, (uint16_t)c.value);
    ScopedArchive a(bytes);
    ASSERT_NE(a.get(), nullptr);
    int lastGood = -1;  // the failures leave the cache to the last item fetched well
    ZipItemInfo lastGoodInfo;
    for (const Step &s : c.steps) {
      SCOPED_TRACE(s.index);
      ZipItemInfo info = FetchExpecting(a.get(), s.index, s.result);
      if (s.result == UZ_OK) {
        lastGood = s.index;
        lastGoodInfo = info;
        EXPECT_EQ(std::wstring(info.name), L"item" + std::to_wstring(s.index) + L".dat");
      } else {
        EXPECT_TRUE(SameInfo(info, Filled(0xCC)));
      }
    }
    ASSERT_GE(lastGood, 0);
    EXPECT_TRUE(AnswersFromCache(a, f, layout, lastGood, lastGoodInfo));
  }
}

// A name is refused rather than cut or left unterminated when it does not
// fit: the narrow record holds 259 bytes and a terminator, and the wide
// conversion has room for 259 units with its terminator, so in a
// single-byte code page the longest name handed out has 258 characters.
TEST(ResultCodes, LongNames) {
  struct Case {
    size_t length;
    int result;
  } cases[] = {{1, UZ_OK}, {258, UZ_OK}, {259, UZ_BAD_ENTRY}, {260, UZ_BAD_ENTRY}, {261, UZ_BAD_ENTRY},
               {300, UZ_BAD_ENTRY}, {65535, UZ_BAD_ENTRY}};
  ZipFixture f;
  for (const Case &c : cases) {
    std::string name;
    for (size_t i = 0; i < c.length; i++) name += (char)(i % 10 == 9 ? '/' : '\xE0' + i % 26);
    f.entries.push_back(MakeEntry(name, "x"));
  }
  f.entries.push_back(MakeEntry("after", "x"));
  ScopedArchive a(f.Build());
  ASSERT_NE(a.get(), nullptr);
  for (int i = 0; i < (int)(sizeof cases / sizeof cases[0]); i++) {
    SCOPED_TRACE(cases[i].length);
    // The narrow record, which extraction uses, takes 259 bytes.
    ZipItemInfoNarrow narrow;
    memset(&narrow, 0xCC, sizeof narrow);
    ZipItemInfoNarrow untouched = narrow;
    int narrowResult = a.archive()->GetItem(i, &narrow);
    if (cases[i].length < EXPECTED_PATH_SIZE) {
      EXPECT_EQ(narrowResult, UZ_OK);
      EXPECT_EQ(std::string(narrow.name), f.entries[i].name);
    } else {
      EXPECT_EQ(narrowResult, UZ_BAD_ENTRY);
      EXPECT_EQ(memcmp(&narrow, &untouched, sizeof narrow), 0);
    }
    ZipItemInfo info = Filled(0xCC);
    EXPECT_EQ(GetZipItemInfo(a.get(), i, &info), cases[i].result);
    if (cases[i].result == UZ_OK) {
      EXPECT_EQ(std::wstring(info.name), Widen(f.entries[i].name));
    } else {
      EXPECT_TRUE(SameInfo(info, Filled(0xCC)));
    }
  }
  ZipItemInfo info;
  EXPECT_EQ(GetZipItemInfo(a.get(), (int)f.entries.size() - 1, &info), UZ_OK);
  EXPECT_EQ(std::wstring(info.name), L"after");
}

// A stored item, a directory and a deflated item with "UT" fields and a
// comment, behind them an archive comment: every kind of variable part that
// a hostile length can stretch.
ZipFixture StoredDirectoryDeflated() {
  ZipFixture f;
  f.entries.push_back(MakeEntry("a.txt", "hello, stored", 0));
  FixtureEntry dir = MakeEntry("dir/", "", 0);
  dir.externalAttributes = 0x41ED0010;
  f.entries.push_back(dir);
  FixtureEntry b = MakeEntry("dir/b.bin", SampleData(200), 8);
  b.localExtra = UtExtra(7, {1533536566, 1000000000, 1234567890});
  b.centralExtra = UtExtra(1, {1533536566});
  b.comment = "c";
  f.entries.push_back(b);
  f.archiveComment = "zz";
  return f;
}

// Lengths and offsets set to values that point outside the image or past
// the records that follow: the answer each fetch must give, in the order
// given (a failure must not change what later fetches see). Then every item
// is fetched forwards and backwards, and the indexes out of range, and each
// answer is one of the item codes.
TEST(ResultCodes, HostileFieldValues) {
  enum Where { kCentral, kLocal, kEnd };
  struct Patch {
    Where where;
    size_t record;  // entry index (central, local)
    size_t field;
    int width;
    uint32_t value;
    bool fromImageEnd;  // value counts back from the end of the image
  };
  struct Step {
    int index, result;
  };
  struct Case {
    const char *what;
    std::vector<Patch> patches;
    std::vector<Step> steps;
    int count;
  } cases[] = {
      {"local header offset far past the image", {{kCentral, 0, 42, 4, 0xFFFFFFF0, false}},
       {{0, UZ_BAD_LOCAL_HEADER}, {1, UZ_OK}, {0, UZ_BAD_LOCAL_HEADER}}, 3},
      {"local header offset two bytes before the end", {{kCentral, 2, 42, 4, 2, true}},
       {{2, UZ_BAD_LOCAL_HEADER}, {0, UZ_OK}}, 3},
      {"local extra length 0xFFFF", {{kLocal, 2, 28, 2, 0xFFFF, false}}, {{2, UZ_SOURCE_READ_FAILED}, {1, UZ_OK}}, 3},
      {"local name length 0xFFFF", {{kLocal, 0, 26, 2, 0xFFFF, false}}, {{0, UZ_BAD_LOCAL_HEADER}, {2, UZ_OK}}, 3},
      {"central name length 0xFFFF on the last record", {{kCentral, 2, 28, 2, 0xFFFF, false}},
       {{2, UZ_BAD_ENTRY}, {1, UZ_OK}}, 3},
      // The next record is looked for 0xFFFF bytes further on, past the
      // image: the walk stops there for every later item.
      {"central extra length 0xFFFF on the first record", {{kCentral, 0, 30, 2, 0xFFFF, false}},
       {{0, UZ_OK}, {1, UZ_BAD_ENTRY}, {2, UZ_BAD_ENTRY}, {0, UZ_OK}}, 3},
      {"central comment length 0xFFFF on the first record", {{kCentral, 0, 32, 2, 0xFFFF, false}},
       {{1, UZ_BAD_ENTRY}, {0, UZ_OK}, {2, UZ_BAD_ENTRY}}, 3},
      // More records announced than there are: the walk runs into the end
      // record and stops there, however far the target lies.
      {"65535 records announced", {{kEnd, 0, 8, 2, 0xFFFF, false}, {kEnd, 0, 10, 2, 0xFFFF, false}},
       {{3, UZ_BAD_ENTRY}, {65534, UZ_BAD_ENTRY}, {2, UZ_OK}, {100, UZ_BAD_ENTRY}}, 65535},
      // Offset plus size wraps around 2^32 and so passes the test against
      // the end record's position. The central records are still found
      // (their offsets wrap back), but every local header is looked for 16
      // bytes behind the bytes before the archive that the reader computed.
      {"directory offset wraps around", {{kEnd, 0, 16, 4, 0xFFFFFFF0, false}},
       {{0, UZ_BAD_LOCAL_HEADER}, {1, UZ_BAD_LOCAL_HEADER}, {2, UZ_BAD_LOCAL_HEADER}}, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FixtureLayout layout;
    std::string bytes = StoredDirectoryDeflated().Build(&layout);
    for (Patch p : c.patches) {
      size_t at = p.where == kCentral ? layout.centralRecord[p.record]
                  : p.where == kLocal ? layout.localHeader[p.record]
                                      : layout.endRecord;
      if (p.fromImageEnd) p.value = (uint32_t)bytes.size() - p.value;
      if (p.width == 4) PutU32(bytes, at + p.field, p.value);
      if (p.width == 2) PutU16(bytes, at + p.field, (uint16_t)p.value);
    }
    ScopedArchive a(bytes);
    ASSERT_NE(a.get(), nullptr);
    ZipItemInfo count;
    ASSERT_EQ(GetZipItemInfo(a.get(), -1, &count), UZ_OK);
    EXPECT_EQ(count.index, c.count);
    for (const Step &s : c.steps) {
      SCOPED_TRACE(s.index);
      ZipItemInfo info = FetchExpecting(a.get(), s.index, s.result);
      if (s.result != UZ_OK) EXPECT_TRUE(SameInfo(info, Filled(0xCC)));
      else EXPECT_EQ(info.index, s.index);
    }
    std::vector<int> order;
    int walk = std::min(c.count, 6);
    for (int i = 0; i < walk; i++) order.push_back(i);
    for (int i = walk - 1; i >= 0; i--) order.push_back(i);
    order.push_back(c.count - 1);
    for (int i : order) {
      SCOPED_TRACE(i);
      ZipItemInfo info;
      int r = GetZipItemInfo(a.get(), i, &info);
      EXPECT_TRUE(r == UZ_OK || r == UZ_BAD_LOCAL_HEADER || r == UZ_SOURCE_READ_FAILED || r == UZ_BAD_ENTRY) << r;
    }
    for (int i : {c.count, c.count + 1, -2}) {
      ZipItemInfo info;
      EXPECT_EQ(GetZipItemInfo(a.get(), i, &info), UZ_BAD_ARGUMENT) << i;
    }
  }
}

// ---- The directory at open time --------------------------------------------

class CurrentDirectory {
 public:
  CurrentDirectory() {
    wchar_t buffer[4096];
    GetCurrentDirectoryW(4096, buffer);
    saved_ = buffer;
  }
  ~CurrentDirectory() { SetCurrentDirectoryW(saved_.c_str()); }

 private:
  std::wstring saved_;
};

// A directory of exactly `length` characters below base (which ends with
// a backslash), made of components of at most 200 characters.
std::wstring MakeDirectoryOfLength(const std::wstring &base, size_t length) {
  std::wstring path = base.substr(0, base.size() - 1);
  while (path.size() < length) {
    size_t component = length - path.size() - 1;  // what is left after a backslash
    if (component > 200) component = component - 200 >= 2 ? 200 : 150;  // leave room for "\x"
    path += L"\\" + std::wstring(component, L'd');
    CreateDirectoryW(path.c_str(), nullptr);
  }
  return path;
}

// rootDir is the current directory and a backslash; when the two do not
// fit its 260 units, it is empty rather than cut or overrun.
TEST(RootDirectory, CurrentDirectoryAtOpenTime) {
  TempDir dir;
  CurrentDirectory restore;
  std::string bytes = NineItems().Build();
  for (size_t length : {0, 200, 257, 258, 259, 260, 261, 300}) {
    SCOPED_TRACE(length);
    // 0: the temporary folder itself.
    std::wstring cwd = dir.path().substr(0, dir.path().size() - 1);
    if (length) {
      cwd = MakeDirectoryOfLength(dir.path(), length);
      ASSERT_EQ(cwd.size(), length);
    }
    ASSERT_TRUE(SetCurrentDirectoryW(cwd.c_str()));
    wchar_t actual[4096];
    ASSERT_EQ(GetCurrentDirectoryW(4096, actual), cwd.size());
    ScopedArchive a(bytes);
    ASSERT_NE(a.get(), nullptr);
    const wchar_t *root = a.archive()->rootDir;
    size_t units = 0;
    while (units < MAX_PATH && root[units]) units++;
    ASSERT_LT(units, (size_t)MAX_PATH);  // terminated inside the buffer
    if (cwd.size() + 1 < MAX_PATH) {
      EXPECT_EQ(std::wstring(root), cwd + L"\\");
    } else {
      EXPECT_EQ(std::wstring(root), L"");
    }
  }
}

}  // namespace
