// Extraction of archives written by independent ZIP writers.
//
// The build packs one set of inputs with Info-ZIP zip, 7-Zip and Python's
// zipfile, stored and deflated, and twice with data descriptors (zip writing
// to a pipe, zipfile writing to a stream it cannot seek in); see
// make_archives.py (set extract). The input sizes sit on both sides of the 16 KiB
// copy and input buffers, plus an empty file, a one-byte file and one of a
// few megabytes. Every item is extracted with UnZipItem and compared byte for
// byte with its input, which catches faults in refills, piece boundaries,
// deflate block types the in-code fixtures never produce, and the handling of
// extra fields and descriptors as real writers lay them out. Where the
// writer stores the modification time as a Unix time, the file must carry it.

#include <windows.h>

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_times.h"
#include "test_files.h"
#include "unzip.h"

namespace {

struct ToolArchive {
  std::string name;
  long long modified = -1;  // Unix time every item must carry; -1: not checked
  std::vector<std::string> items;
};

std::wstring ArchiveDir() { return BuildDir() + L"tests\\extract\\tool_archives\\"; }

std::vector<ToolArchive> ReadManifest() {
  std::string text;
  std::vector<ToolArchive> archives;
  if (!ReadWholeFile(ArchiveDir() + L"manifest.txt", &text)) return archives;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    std::string key = line.substr(0, space), value = line.substr(space + 1);
    if (key == "archive") {
      archives.push_back(ToolArchive());
      archives.back().name = value;
    } else if (key == "modified" && !archives.empty()) {
      archives.back().modified = atoll(value.c_str());
    } else if (key == "item" && !archives.empty()) {
      archives.back().items.push_back(value);
    }
  }
  return archives;
}

TEST(ExtractToolArchives, EveryItemEqualsItsInput) {
  std::vector<ToolArchive> archives = ReadManifest();
  ASSERT_FALSE(archives.empty()) << "no manifest in " << Narrow(ArchiveDir());
  TempDir out;
  for (const ToolArchive &archive : archives) {
    SCOPED_TRACE(archive.name);
    std::string image;
    ASSERT_TRUE(ReadWholeFile(ArchiveDir() + Widen(archive.name), &image));
    ZipHandle *handle = OpenZipBuffer(image.data(), (unsigned)image.size());
    ASSERT_NE(handle, nullptr) << "LastZipResult " << LastZipResult;
    ZipItemInfo info;
    ASSERT_EQ(GetZipItemInfo(handle, -1, &info), UZ_OK);
    EXPECT_EQ(info.index, (int)archive.items.size());
    for (int i = 0; i < (int)archive.items.size(); i++) {
      const std::string &name = archive.items[i];
      SCOPED_TRACE(name);
      ASSERT_EQ(GetZipItemInfo(handle, i, &info), UZ_OK);
      EXPECT_EQ(Narrow(info.name), name);
      std::wstring target = out / Widen(name);
      ASSERT_EQ(UnZipItem(handle, i, target.c_str()), UZ_OK);
      std::string expected, got;
      ASSERT_TRUE(ReadWholeFile(ArchiveDir() + L"inputs\\" + Widen(name), &expected));
      ASSERT_TRUE(ReadWholeFile(target, &got));
      EXPECT_EQ(got.size(), expected.size());
      EXPECT_TRUE(got == expected) << "content differs";
      if (archive.modified >= 0) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        ASSERT_TRUE(GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ(FileTimeValue(data.ftLastWriteTime), FileTimeOfUnix(archive.modified));
      }
      SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(target.c_str());
    }
    EXPECT_EQ(CloseZipArchive(handle), UZ_OK);
  }
}

}  // namespace
