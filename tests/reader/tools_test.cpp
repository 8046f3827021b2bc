// Archives written by independent tools, read through the handle interface:
// Info-ZIP's zip (deflated and stored, with its "UT" extra fields and Unix
// modes) and Python's zipfile (no extra fields, MS-DOS times only). The
// build packs them from known files and times (tests/reader/CMakeLists.txt);
// this test checks names, count, sizes, attributes and times against what
// the tools were given.
//
// The fixture writer and the reader could share a misreading of the
// format; these archives cannot.
#include <gtest/gtest.h>

#include <vector>

#include "file_times.h"
#include "scoped_archive.h"
#include "test_files.h"

namespace {

std::wstring ToolDir() {
  std::wstring dir = BuildDir() + Widen(READER_TOOL_DIR);
  for (wchar_t &c : dir)
    if (c == L'/') c = L'\\';
  return dir + L"\\";
}

std::string ReadArchive(const std::wstring &name) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(ToolDir() + name, &bytes)) << Narrow(ToolDir() + name);
  return bytes;
}

size_t StagedSize(const std::wstring &name) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(ToolDir() + L"stage\\" + name, &bytes)) << Narrow(name);
  return bytes.size();
}

struct Expected {
  std::wstring name;
  size_t size;
  bool directory, readOnly, stored;
  int64_t modified;  // Unix time
};

void CheckArchive(const std::string &bytes, const std::vector<Expected> &items) {
  ScopedArchive a(bytes);
  ASSERT_NE(a.get(), nullptr) << LastZipResult;
  ZipItemInfo info;
  ASSERT_EQ(GetZipItemInfo(a.get(), -1, &info), UZ_OK);
  ASSERT_EQ(info.index, (int)items.size());
  for (int i = 0; i < (int)items.size(); i++) {
    const Expected &e = items[i];
    SCOPED_TRACE(Narrow(e.name));
    ASSERT_EQ(GetZipItemInfo(a.get(), i, &info), UZ_OK);
    EXPECT_EQ(std::wstring(info.name), e.name);
    EXPECT_EQ(info.uncompressedSize, e.size);
    if (e.stored)
      EXPECT_EQ(info.compressedSize, e.size);
    else
      EXPECT_LT(info.compressedSize, e.size);
    EXPECT_EQ((info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, e.directory);
    EXPECT_EQ((info.attributes & FILE_ATTRIBUTE_READONLY) != 0, e.readOnly);
    EXPECT_EQ(FileTimeValue(info.modifyTime), FileTimeOfUnix(e.modified));
  }
}

// zip stores each file's modification time in the local "UT" record; the
// MS-DOS time beside it is in the packing machine's zone, so only the "UT"
// time is checked.
TEST(Tools, InfoZipDeflated) {
  CheckArchive(ReadArchive(L"infozip.zip"),
               {
                   {L"hello.txt", StagedSize(L"hello.txt"), false, false, true, READER_EPOCH_HELLO},
                   {L"readonly.txt", StagedSize(L"readonly.txt"), false, true, true, READER_EPOCH_READONLY},
                   {L"sub/", 0, true, false, true, READER_EPOCH_SUB},
                   {L"sub/data.txt", StagedSize(L"sub\\data.txt"), false, false, false, READER_EPOCH_DATA},
               });
}

TEST(Tools, InfoZipStored) {
  CheckArchive(ReadArchive(L"infozip_stored.zip"),
               {
                   {L"hello.txt", StagedSize(L"hello.txt"), false, false, true, READER_EPOCH_HELLO},
                   {L"sub/data.txt", StagedSize(L"sub\\data.txt"), false, false, true, READER_EPOCH_DATA},
               });
}

// Python writes MS-DOS times only; they are taken as they stand, so the
// FILETIMEs are those of the given calendar times read as UTC, for all
// three times.
TEST(Tools, PythonZipfile) {
  const int64_t t2018 = 1533565366;  // 2018-08-06 14:22:46
  const int64_t t2001 = 981173106;   // 2001-02-03 04:05:06
  const int64_t t2010 = 1262304000;  // 2010-01-01 00:00:00
  std::string bytes = ReadArchive(L"python.zip");
  CheckArchive(bytes, {
                          {L"stored.txt", 17, false, false, true, t2018},
                          {L"deflated.txt", 4096, false, true, false, t2001},
                          {L"folder/", 0, true, false, true, t2010},
                          {L"folder/inner.bin", 1024, false, false, false, t2018},
                      });
  ScopedArchive a(bytes);
  ASSERT_NE(a.get(), nullptr);
  ZipItemInfo info;
  ASSERT_EQ(GetZipItemInfo(a.get(), 1, &info), UZ_OK);
  EXPECT_EQ(FileTimeValue(info.accessTime), FileTimeOfUnix(t2001));
  EXPECT_EQ(FileTimeValue(info.creationTime), FileTimeOfUnix(t2001));
}

}  // namespace
