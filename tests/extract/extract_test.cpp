// Item extraction to disk: UnZipItem on archives built field by field.
//
// A file item must come out as a new file with exactly the item's bytes, its
// read-only, hidden and system bits, and its access and modification times;
// when the bytes cannot be the item's (damaged or short data, a CRC-32 that
// does not match) nothing may be left behind, not even a read-only file.
// A target that cannot be created (missing directory, a file in use by
// another program, a read-only file) must be left as it was. Directory items
// and relative targets create their directories below the directory that
// was current when the archive was opened, and a directory item whose name
// climbs out of it with ".." must create nothing at all.
//
// Wine stores last-write and last-access times exactly but no creation time,
// and always reports FILE_ATTRIBUTE_ARCHIVE, so attributes are compared
// through the mask 0x7 and creation times are not looked at.

#include <windows.h>

#include <limits.h>
#include <stdint.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_times.h"
#include "launcher_run.h"
#include "scoped_archive.h"
#include "test_files.h"
#include "unzip.h"
#include "zip_archive.h"
#include "zip_fixture.h"

namespace {


// Deflated by default: most items of a real payload are.
FixtureEntry Entry(const std::string &name, const std::string &data, uint16_t method = 8,
                   uint32_t externalAttributes = 0x81800000) {
  FixtureEntry e = MakeEntry(name, data, method);
  e.externalAttributes = externalAttributes;
  return e;
}

FixtureEntry DirectoryEntry(const std::string &name) { return Entry(name, "", 0, 0x41ED0010); }

std::string ImageOf(const std::vector<FixtureEntry> &entries, FixtureLayout *layout = nullptr) {
  ZipFixture f;
  f.entries = entries;
  return f.Build(layout);
}

// Writes every item of an archive of entries into a fresh folder under its
// own name, then hands check the item's index, its target and the folder.
template <typename Check>
void ExtractEach(const std::vector<FixtureEntry> &entries, Check check) {
  ScopedArchive a(ImageOf(entries));
  ASSERT_NE(a.get(), nullptr);
  TempDir out;
  for (size_t i = 0; i < entries.size(); i++) {
    SCOPED_TRACE(entries[i].name);
    std::wstring target = out / Widen(entries[i].name);
    ASSERT_EQ(UnZipItem(a.get(), (int)i, target.c_str()), UZ_OK);
    check(i, target, out);
  }
}

std::string Contents(const std::wstring &path) {
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) return "<unreadable>";
  return bytes;
}



// A block header with BFINAL set and the reserved block type: inflate fails there.
const std::string kBadBlock = std::string("\x07", 1) + std::string(32, '\x5A');

std::wstring ModuleDir() {
  wchar_t path[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  std::wstring dir(path, n);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

// The read-only, hidden and system bits a new file really gets when created
// with `bits`. Windows keeps all three; Wine run as an ordinary user cannot
// add hidden and system to a file it has just made read-only (they live in
// an extended attribute of a file it may no longer write).
DWORD BitsThePlatformKeeps(const std::wstring &dir, DWORD bits) {
  const std::wstring probe = dir + L"attribute-probe.tmp";
  HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | bits, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(h);
  DWORD kept = GetFileAttributesW(probe.c_str()) & 0x7;
  SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(probe.c_str());
  return kept;
}

// ---- File items to absolute targets ------------------------------------------

TEST(ExtractFile, NewFileHoldsTheDataAndTheItemsAttributeBits) {
  struct Row {
    const char *name;
    uint32_t externalAttributes;
    uint16_t method;
    size_t size;
    DWORD bits;  // expected (attributes & 0x7)
  } rows[] = {
      {"plain.bin", 0x81800000, 8, 40000, 0},
      {"unix-0644.bin", 0x81A40000, 0, 16385, 0},
      {"readonly.bin", 0x81800001, 8, 40000, FILE_ATTRIBUTE_READONLY},
      {"unix-0444.bin", 0x81240000, 0, 100, FILE_ATTRIBUTE_READONLY},
      {"no-unix-mode.bin", 0x00000000, 8, 100, FILE_ATTRIBUTE_READONLY},
      {"hidden.bin", 0x81800002, 0, 16384, FILE_ATTRIBUTE_HIDDEN},
      {"system.bin", 0x81800004, 8, 16383, FILE_ATTRIBUTE_SYSTEM},
      {"all-three.bin", 0x81800027, 8, 20000, 0x7},
      {"empty-all-three.bin", 0x00000007, 0, 0, 0x7},
  };
  std::vector<FixtureEntry> entries;
  for (const Row &r : rows) entries.push_back(Entry(r.name, SampleData(r.size, (uint32_t)r.size), r.method, r.externalAttributes));
  ExtractEach(entries, [&](size_t i, const std::wstring &target, const TempDir &out) {
    EXPECT_TRUE(Contents(target) == entries[i].data);
    DWORD attributes = GetFileAttributesW(target.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & 0x7, BitsThePlatformKeeps(out.path(), rows[i].bits));
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_READONLY || !(rows[i].bits & FILE_ATTRIBUTE_READONLY));
  });
}

TEST(ExtractFile, NewFileCarriesTheItemsAccessAndModificationTimes) {
  const int32_t m = 1533536566, acc = 1600000000, c = 1400000000;
  const uint32_t dos = 0x4D0672D7, otherDos = 0x3C210000;  // 2018-08-06 14:22:46, 2010-01-01 00:00
  struct Row {
    const char *name;
    uint32_t dosDateTime;
    std::string localExtra;
    size_t size;
    uint32_t externalAttributes;
    uint64_t write, access;
  } rows[] = {
      {"dos-only.bin", dos, "", 5000, 0x81800000, FileTimeOfDos(dos), FileTimeOfDos(dos)},
      {"other-dos.bin", otherDos, "", 5000, 0x81800000, FileTimeOfDos(otherDos), FileTimeOfDos(otherDos)},
      {"ut-modified.bin", dos, UtExtra(1, {m}), 5000, 0x81800000, FileTimeOfUnix(m), FileTimeOfDos(dos)},
      {"ut-accessed.bin", dos, UtExtra(2, {acc}), 5000, 0x81800000, FileTimeOfDos(dos), FileTimeOfUnix(acc)},
      {"ut-both.bin", dos, UtExtra(3, {m, acc}), 40000, 0x81800000, FileTimeOfUnix(m), FileTimeOfUnix(acc)},
      {"ut-all.bin", dos, UtExtra(7, {m, acc, c}), 40000, 0x81800000, FileTimeOfUnix(m), FileTimeOfUnix(acc)},
      {"empty.bin", dos, UtExtra(3, {m, acc}), 0, 0x81800000, FileTimeOfUnix(m), FileTimeOfUnix(acc)},
      {"readonly.bin", dos, UtExtra(3, {m, acc}), 5000, 0x81800001, FileTimeOfUnix(m), FileTimeOfUnix(acc)},
  };
  std::vector<FixtureEntry> entries;
  for (const Row &r : rows) {
    FixtureEntry e = Entry(r.name, SampleData(r.size, 3), 8, r.externalAttributes);
    e.dosDateTime = r.dosDateTime;
    e.localExtra = r.localExtra;
    entries.push_back(e);
  }
  ExtractEach(entries, [&](size_t i, const std::wstring &target, const TempDir &) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(FileTimeValue(data.ftLastWriteTime), rows[i].write);
    EXPECT_EQ(FileTimeValue(data.ftLastAccessTime), rows[i].access);
    EXPECT_EQ(data.nFileSizeLow, rows[i].size);
  });
}

// The null device is no disk file: it takes the data, and there is nothing
// to stamp with times or to remove after a failure.
TEST(ExtractFile, NonDiskTargetReceivesTheData) {
  FixtureEntry corrupt = Entry("corrupt.bin", SampleData(40000, 1), 8);
  corrupt.crc = Crc32Of(corrupt.data) ^ 1;
  std::vector<FixtureEntry> entries = {
      Entry("stored.bin", SampleData(40000, 1), 0),
      Entry("deflated.bin", SampleData(40000, 2), 8),
      Entry("empty.bin", "", 0),
      Entry("readonly.bin", SampleData(3000, 3), 8, 0x81800001),
      corrupt,
  };
  ScopedArchive a(ImageOf(entries));
  ASSERT_NE(a.get(), nullptr);
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE(entries[i].name);
    EXPECT_EQ(UnZipItem(a.get(), i, L"NUL"), UZ_OK);
  }
  EXPECT_EQ(UnZipItem(a.get(), 4, L"NUL"), UZ_FILE_WRITE_FAILED) << "the CRC-32 does not match";
}

TEST(ExtractFile, TargetInAMissingDirectoryFails) {
  ScopedArchive a(ImageOf({Entry("f.bin", "data")}));
  ASSERT_NE(a.get(), nullptr);
  TempDir out;
  EXPECT_EQ(UnZipItem(a.get(), 0, (out / L"no\\such\\f.bin").c_str()), UZ_FILE_CREATE_FAILED);
  EXPECT_EQ(LastZipResult, UZ_FILE_CREATE_FAILED);
  EXPECT_TRUE(NamesIn(out.path()).empty());
}

// Another program holds the target open without sharing: the create fails
// and the file keeps its content. The holder is a separate process, as in
// real use; Wine enforces share modes across processes.
TEST(ExtractFile, TargetHeldOpenByAnotherProgramIsLeftAlone) {
  TempDir dir;
  const std::wstring target = dir / L"held.bin", marker = dir / L"held.marker";
  ASSERT_TRUE(WriteWholeFile(target, "original"));
  const std::wstring helper = ModuleDir() + L"hold_file.exe";
  std::wstring command = L"\"" + helper + L"\" \"" + target + L"\" \"" + marker + L"\" " + std::to_wstring(2 * kPatienceMs);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(helper.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process))
      << "cannot start " << Narrow(helper);
  bool held = false;
  for (DWORD waited = 0; waited < kPatienceMs && !held; waited += 50) {
    held = FileExists(marker);
    if (!held && WaitForSingleObject(process.hProcess, 50) != WAIT_TIMEOUT) break;  // the helper gave up
  }
  int result = -1;
  if (held) {
    ScopedArchive a(ImageOf({Entry("held.bin", SampleData(40000, 4))}));
    if (a.get()) result = UnZipItem(a.get(), 0, target.c_str());
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, kPatienceMs);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  ASSERT_TRUE(held) << "the helper did not hold the file (exit code " << exitCode << ")";
  EXPECT_EQ(result, UZ_FILE_CREATE_FAILED);
  EXPECT_EQ(Contents(target), "original");
}

TEST(ExtractFile, ReadOnlyFileAtTheTargetIsLeftAlone) {
  TempDir dir;
  // Wine run as root writes through read-only files; then the platform
  // itself cannot refuse and there is nothing to test.
  const std::wstring probe = dir / L"probe.bin";
  ASSERT_TRUE(WriteWholeFile(probe, "probe"));
  ASSERT_TRUE(SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_READONLY));
  HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    GTEST_SKIP() << "this user can overwrite read-only files (Wine as root)";
  }
  const std::wstring target = dir / L"ro.bin";
  ASSERT_TRUE(WriteWholeFile(target, "original"));
  ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
  ScopedArchive a(ImageOf({Entry("ro.bin", SampleData(1000, 5))}));
  ASSERT_NE(a.get(), nullptr);
  EXPECT_EQ(UnZipItem(a.get(), 0, target.c_str()), UZ_FILE_CREATE_FAILED);
  EXPECT_EQ(Contents(target), "original");
  EXPECT_TRUE(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY);
}

// Target paths live in 260-unit buffers: 259 characters fit, 260 do not and
// must be refused before anything is created (Wine itself has no limit).
TEST(ExtractFile, TargetPathOf260CharactersOrMoreIsRefused) {
  ScopedArchive a(ImageOf({Entry("long.bin", SampleData(2000, 6))}));
  ASSERT_NE(a.get(), nullptr);
  TempDir out;
  const size_t base = out.path().size();
  ASSERT_LT(base + 10, 259u);
  struct Row {
    size_t length;
    int result;
  } rows[] = {{259, UZ_OK}, {260, UZ_BAD_ARGUMENT}, {261, UZ_BAD_ARGUMENT}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.length);
    std::wstring target = out.path() + std::wstring(r.length - base - 4, L'n') + L".bin";
    ASSERT_EQ(target.size(), r.length);
    EXPECT_EQ(UnZipItem(a.get(), 0, target.c_str()), r.result);
    EXPECT_EQ(FileExists(target), r.result == UZ_OK);
  }
  EXPECT_EQ(NamesIn(out.path()).size(), 1u);
}

// Whenever the written bytes cannot be the item's, the result is a write
// failure and the half-made file is gone, read-only or not, however much of
// it had been written.
TEST(ExtractFile, DataThatIsNotTheItemsLeavesNoFile) {
  const std::string d40 = SampleData(40000, 40), d100 = SampleData(100000, 41), d1 = SampleData(1000, 42);
  struct Row {
    const char *what;
    FixtureEntry entry;
    long flipAt;  // data byte (in the archive) to change after building; -1 none
  };
  std::vector<Row> rows;
  rows.push_back({"stored, one data byte changed", Entry("a", d40, 0), 20000});
  rows.push_back({"stored, last of 100,000 bytes changed", Entry("b", d100, 0), 99999});
  {
    FixtureEntry e = Entry("c", d40, 8);
    e.packedData = RawDeflate(d40, 0);  // stored deflate blocks: a changed byte still decodes
    rows.push_back({"deflated, byte changed inside a stored block", e, 1000});
  }
  {
    FixtureEntry e = Entry("d", d40, 8);
    e.crc = Crc32Of(d40) ^ 0x00010000;
    rows.push_back({"deflated, central CRC-32 differs", e, -1});
  }
  {
    FixtureEntry e = Entry("e", d100, 8);
    std::string full = RawDeflate(d100);
    e.packedData = full.substr(0, full.size() / 2);
    rows.push_back({"deflated, data cut off halfway", e, -1});
  }
  {
    FixtureEntry e = Entry("f", d40, 8);
    e.packedData = RawDeflateFlushed(d40.substr(0, 30000)) + kBadBlock;
    rows.push_back({"deflated, damaged after 30,000 bytes", e, -1});
  }
  {
    FixtureEntry e = Entry("g", d1, 8);
    e.uncompressedSize = 1500;
    rows.push_back({"deflated, data ends before the stated size", e, -1});
  }
  {
    FixtureEntry e = Entry("h", d1, 0);
    e.compressedSize = 600;
    rows.push_back({"stored, fewer bytes than stated", e, -1});
  }
  {
    FixtureEntry e = Entry("h2", d1, 0);
    e.compressedSize = e.uncompressedSize = 0x10000000;
    rows.push_back({"stored, data runs past the end of the archive", e, -1});
  }
  {
    FixtureEntry e = Entry("i", "", 0);
    e.crc = 0x12345678;
    rows.push_back({"empty, CRC-32 not 0", e, -1});
  }
  {
    FixtureEntry e = Entry("j", d40, 0, 0x81800001);
    e.crc = Crc32Of(d40) + 1;
    rows.push_back({"read-only, CRC-32 differs", e, -1});
  }
  {
    FixtureEntry e = Entry("k", d40, 8, 0x00000007);
    e.packedData = RawDeflateFlushed(d40.substr(0, 20000)) + kBadBlock;
    rows.push_back({"read-only hidden system, damaged deflate data", e, -1});
  }

  std::vector<FixtureEntry> entries;
  for (const Row &r : rows) entries.push_back(r.entry);
  FixtureLayout layout;
  std::string image = ImageOf(entries, &layout);
  for (size_t i = 0; i < rows.size(); i++)
    if (rows[i].flipAt >= 0) image[layout.dataOffset[i] + rows[i].flipAt] ^= 0x01;
  ScopedArchive a(image);
  ASSERT_NE(a.get(), nullptr);
  TempDir out;
  for (size_t i = 0; i < rows.size(); i++) {
    SCOPED_TRACE(rows[i].what);
    std::wstring target = out / Widen(rows[i].entry.name + ".bin");
    EXPECT_EQ(UnZipItem(a.get(), (int)i, target.c_str()), UZ_FILE_WRITE_FAILED);
    EXPECT_EQ(LastZipResult, UZ_FILE_WRITE_FAILED);
    EXPECT_FALSE(FileExists(target));
  }
  EXPECT_TRUE(NamesIn(out.path()).empty());
}

// When the item's record cannot be fetched, UnZipItem reports why and
// creates nothing; the archive stays usable for the other items.
TEST(ExtractFile, UnreadableRecordCreatesNothing) {
  struct Row {
    const char *what;
    int index;
    void (*damage)(std::string &image, const FixtureLayout &layout);
    int result;
  } rows[] = {
      {"wrong local signature", 1,
       [](std::string &s, const FixtureLayout &l) { PutU32(s, l.localHeader[1], 0x04034B51); }, UZ_BAD_LOCAL_HEADER},
      {"local method differs from the central one", 1,
       [](std::string &s, const FixtureLayout &l) { PutU16(s, l.localHeader[1] + 8, 8); }, UZ_BAD_LOCAL_HEADER},
      {"local extra field runs past the end of the image", 1,
       [](std::string &s, const FixtureLayout &l) { PutU16(s, l.localHeader[1] + 28, 0xFFFF); }, UZ_SOURCE_READ_FAILED},
      {"own central record unreadable", 1,
       [](std::string &s, const FixtureLayout &l) { PutU32(s, l.centralRecord[1], 0x02014B51); }, UZ_BAD_ENTRY},
      {"central record on the way unreadable", 2,
       [](std::string &s, const FixtureLayout &l) { PutU32(s, l.centralRecord[1], 0x02014B51); }, UZ_BAD_ENTRY},
  };
  const std::vector<FixtureEntry> entries = {
      Entry("zero.bin", SampleData(3000, 50), 0),
      Entry("one.bin", SampleData(3000, 51), 0),
      Entry("two.bin", SampleData(3000, 52), 0),
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    FixtureLayout layout;
    std::string image = ImageOf(entries, &layout);
    r.damage(image, layout);
    ScopedArchive a(image);
    ASSERT_NE(a.get(), nullptr);
    TempDir out;
    std::wstring target = out / L"target.bin";
    EXPECT_EQ(UnZipItem(a.get(), r.index, target.c_str()), r.result);
    EXPECT_EQ(LastZipResult, r.result);
    EXPECT_TRUE(NamesIn(out.path()).empty());
    std::wstring good = out / L"zero.bin";
    EXPECT_EQ(UnZipItem(a.get(), 0, good.c_str()), UZ_OK);
    EXPECT_TRUE(Contents(good) == entries[0].data);
  }
}

// ---- Relative targets and directory items -------------------------------------
//
// These run with the current directory set to a fresh "root" folder inside a
// temporary base folder, so that the archive's root directory is known and
// anything that escapes it shows up in the base folder.

class ExtractBelowRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = CurrentDirectory();
    root_ = base_ / L"root\\";
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));
  }
  // Before the members go, so that no folder being removed is current.
  void TearDown() override { SetCurrentDirectoryW(saved_.c_str()); }

  // Nothing but the root folder in the base, nothing in the root.
  void ExpectNothingCreated() {
    EXPECT_EQ(NamesIn(base_.path()), std::vector<std::wstring>{L"root"});
    EXPECT_TRUE(NamesIn(root_).empty());
  }

  TempDir base_;
  std::wstring root_;  // ends with a backslash
  std::wstring saved_;
};

TEST_F(ExtractBelowRoot, BadHandleOrIndexCreatesNothing) {
  ScopedArchive a(ImageOf({Entry("a.bin", "first"), Entry("b.bin", "second")}));
  ASSERT_NE(a.get(), nullptr);
  ZipHandle kind2 = *a.get(), kind0 = *a.get();
  kind2.kind = 2;
  kind0.kind = 0;
  struct Row {
    const char *what;
    ZipHandle *handle;
    int index;
    int result;
  } rows[] = {
      {"index equal to the item count", a.get(), 2, UZ_BAD_ARGUMENT},
      {"index -1", a.get(), -1, UZ_BAD_ARGUMENT},
      {"index -2", a.get(), -2, UZ_BAD_ARGUMENT},
      {"most negative index", a.get(), INT_MIN, UZ_BAD_ARGUMENT},
      {"no handle", nullptr, 0, UZ_BAD_ARGUMENT},
      {"handle of kind 2", &kind2, 0, UZ_WRONG_HANDLE_KIND},
      {"handle of kind 0", &kind0, 0, UZ_WRONG_HANDLE_KIND},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(UnZipItem(r.handle, r.index, L"sub/out.bin"), r.result);
    EXPECT_EQ(LastZipResult, r.result);
    ExpectNothingCreated();
  }
  EXPECT_EQ(UnZipItem(a.get(), 1, L"sub/out.bin"), UZ_OK) << "the archive is still usable";
  EXPECT_EQ(Contents(root_ + L"sub\\out.bin"), "second");
}

TEST_F(ExtractBelowRoot, DirectoryItemCreatesItsChainBelowTheRoot) {
  struct Row {
    const char *name;
    const wchar_t *target;  // not used for a directory item
    std::vector<std::wstring> directories;
  } rows[] = {
      {"d1/d2/", L"", {L"d1", L"d1\\d2"}},
      {"e1\\e2\\", L"ignored.bin", {L"e1", L"e1\\e2"}},
      {"f1/f2/f3", L"", {L"f1", L"f1\\f2", L"f1\\f2\\f3"}},
      {"g..h/", L"", {L"g..h"}},
  };
  std::vector<FixtureEntry> entries;
  for (const Row &r : rows) entries.push_back(DirectoryEntry(r.name));
  ScopedArchive a(ImageOf(entries));
  ASSERT_NE(a.get(), nullptr);
  for (int i = 0; i < (int)(sizeof rows / sizeof rows[0]); i++) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(UnZipItem(a.get(), i, rows[i].target), UZ_OK);
    for (const std::wstring &d : rows[i].directories) EXPECT_TRUE(DirectoryExists(root_ + d)) << Narrow(d);
  }
  EXPECT_EQ(NamesIn(root_), (std::vector<std::wstring>{L"d1", L"e1", L"f1", L"g..h"}));
  EXPECT_TRUE(NamesIn(root_ + L"d1\\d2").empty());
  EXPECT_EQ(NamesIn(base_.path()), std::vector<std::wstring>{L"root"});
}

// A directory item whose name has a ".." component would reach outside the
// root (or could, after a later component): refused, nothing created on the
// way, not even the harmless first levels.
TEST_F(ExtractBelowRoot, DirectoryItemWithDotDotComponentCreatesNothing) {
  const char *names[] = {
      "../up/", "..\\up\\", "..", "../", "a/../../up/", "a/b/../../../up/", "x\\..\\..\\up\\", "a/../b/",
  };
  std::vector<FixtureEntry> entries;
  for (const char *n : names) entries.push_back(DirectoryEntry(n));
  ScopedArchive a(ImageOf(entries));
  ASSERT_NE(a.get(), nullptr);
  for (int i = 0; i < (int)(sizeof names / sizeof names[0]); i++) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(UnZipItem(a.get(), i, L""), UZ_UNSAFE_NAME);
    EXPECT_EQ(LastZipResult, UZ_UNSAFE_NAME);
    ExpectNothingCreated();
  }
}

// A directory item named as an absolute path or on a drive would be made
// outside the root; when the root is empty (the current directory could
// not be read, or is too long to serve as one) right at the drive's root.
// Refused whatever the root is, and nothing made anywhere.
TEST_F(ExtractBelowRoot, AbsoluteOrDriveDirectoryItemIsRefusedWhateverTheRoot) {
  const std::wstring drive = base_.path().substr(0, 2);  // "C:"
  ASSERT_EQ(L':', drive[1]);
  const std::string d = Narrow(drive);
  const std::string names[] = {"/zz_unzip_slash/", "\\zz_unzip_backslash\\", d + "/zz_unzip_drive/",
                               d + "\\zz_unzip_drive2\\", d + "zz_unzip_on_drive/"};
  std::vector<FixtureEntry> entries;
  for (const std::string &n : names) entries.push_back(DirectoryEntry(n));
  const std::string image = ImageOf(entries);

  // A current directory of more than 259 characters leaves the root empty.
  std::wstring deep = base_ / L"deep";
  ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  while (deep.size() < 300) {
    deep += L"\\" + std::wstring(100, L'd');
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
  }
  const std::wstring currents[] = {root_, deep};
  for (const std::wstring &current : currents) {
    SCOPED_TRACE(current == root_ ? "root of the current directory" : "empty root");
    ASSERT_TRUE(SetCurrentDirectoryW(current.c_str()));
    ScopedArchive a(image);
    ASSERT_NE(a.get(), nullptr);
    ASSERT_EQ(current == root_, a.archive()->rootDir[0] != 0);
    for (int i = 0; i < (int)entries.size(); i++) {
      SCOPED_TRACE(names[i]);
      EXPECT_EQ(UnZipItem(a.get(), i, L""), UZ_UNSAFE_NAME);
      const std::wstring atDriveRoot = drive + L"\\" + Widen(names[i]).substr(names[i].find('z'));
      EXPECT_FALSE(DirectoryExists(atDriveRoot)) << "made at the drive's root";
      RemoveDirectoryW(atDriveRoot.c_str());
    }
    EXPECT_TRUE(ListDir(root_).empty());
    EXPECT_TRUE(ListDir(current).empty());
  }
  ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));
}

TEST_F(ExtractBelowRoot, RelativeTargetGetsItsDirectoriesBelowTheRoot) {
  const std::string data = SampleData(20000, 60);
  ScopedArchive a(ImageOf({Entry("c.bin", data)}));
  ASSERT_NE(a.get(), nullptr);
  EXPECT_EQ(UnZipItem(a.get(), 0, L"a/b/c.bin"), UZ_OK);
  EXPECT_TRUE(DirectoryExists(root_ + L"a\\b"));
  EXPECT_TRUE(Contents(root_ + L"a\\b\\c.bin") == data);
  EXPECT_EQ(UnZipItem(a.get(), 0, L"m\\n/o.bin"), UZ_OK);
  EXPECT_TRUE(Contents(root_ + L"m\\n\\o.bin") == data);
  EXPECT_EQ(UnZipItem(a.get(), 0, L"plain.bin"), UZ_OK);
  EXPECT_TRUE(Contents(root_ + L"plain.bin") == data);
  EXPECT_EQ(NamesIn(base_.path()), std::vector<std::wstring>{L"root"});
}

// A directory part that goes up with "../" or "..\" or is absolute gets no
// directories made for it: the file is created only if its directory exists.
TEST_F(ExtractBelowRoot, TargetsOutsideTheRootGetNoDirectories) {
  ScopedArchive a(ImageOf({Entry("y.bin", "why")}));
  ASSERT_NE(a.get(), nullptr);
  const std::wstring base = base_.path();
  const std::wstring noDrive = base.substr(2);  // "\users\...\" on the current drive
  std::wstring slashed = noDrive;
  std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
  const std::wstring targets[] = {
      L"../x/y.bin",
      L"..\\x\\y.bin",
      L"a/../../x/y.bin",
      base + L"abs\\y.bin",
      noDrive + L"abs\\y.bin",
      slashed + L"abs/y.bin",
  };
  ASSERT_EQ(base[1], L':');
  for (const std::wstring &t : targets) {
    SCOPED_TRACE(Narrow(t));
    EXPECT_EQ(UnZipItem(a.get(), 0, t.c_str()), UZ_FILE_CREATE_FAILED);
    ExpectNothingCreated();
  }
  ASSERT_TRUE(CreateDirectoryW((base + L"x").c_str(), nullptr));
  EXPECT_EQ(UnZipItem(a.get(), 0, L"../x/y.bin"), UZ_OK);
  EXPECT_EQ(Contents(base + L"x\\y.bin"), "why");
}

// "a/../f.bin" has the directory part "a/..", which holds no "../": both
// levels are requested below the root, and the file lands in the root.
TEST_F(ExtractBelowRoot, DirectoryPartEndingInDotDotIsCreated) {
  ScopedArchive a(ImageOf({Entry("f.bin", "eff")}));
  ASSERT_NE(a.get(), nullptr);
  EXPECT_EQ(UnZipItem(a.get(), 0, L"a/../f.bin"), UZ_OK);
  EXPECT_TRUE(DirectoryExists(root_ + L"a"));
  EXPECT_EQ(Contents(root_ + L"f.bin"), "eff");
}

// Directories belong below the directory that was current at open time;
// the file itself is opened relative to the current directory of the moment.
TEST_F(ExtractBelowRoot, CurrentDirectoryChangedAfterOpen) {
  ScopedArchive a(ImageOf({Entry("c.bin", "moved"), DirectoryEntry("dd/")}));
  ASSERT_NE(a.get(), nullptr);
  const std::wstring other = base_ / L"other\\";
  ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((other + L"a").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((other + L"a\\b").c_str(), nullptr));
  ASSERT_TRUE(SetCurrentDirectoryW(other.c_str()));

  EXPECT_EQ(UnZipItem(a.get(), 0, L"a/b/c.bin"), UZ_OK);
  EXPECT_TRUE(DirectoryExists(root_ + L"a\\b"));
  EXPECT_FALSE(FileExists(root_ + L"a\\b\\c.bin"));
  EXPECT_EQ(Contents(other + L"a\\b\\c.bin"), "moved");

  EXPECT_EQ(UnZipItem(a.get(), 1, L""), UZ_OK);
  EXPECT_TRUE(DirectoryExists(root_ + L"dd"));
  EXPECT_FALSE(DirectoryExists(other + L"dd"));
}

}  // namespace
