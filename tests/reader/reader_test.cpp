// The central directory reader (zip_reader.h): finding the end record,
// refusing inconsistent ones, walking the central directory, re-reading a
// record and its name, checking a local header against its central record,
// and reading from memory images and from file handles.
//
// These are the layer's decisions that the upper layers build on: a wrong
// offset or a missed signature here shows up as a wrong item or a refused
// payload much later. Archives are built field by field with ZipFixture;
// where a case needs one field wrong, that field is patched at the offset
// the fixture's layout reports. Memory images sit right before a
// no-access page, so a read past the end of an image faults.
#include <gtest/gtest.h>

#include <vector>

#include "file_times.h"
#include "scoped_archive.h"
#include "test_files.h"
#include "zip_fixture.h"

namespace {

const char kEndSignature[] = "PK\x05\x06";


// Three entries with names, extra fields and comments of different lengths,
// so that every record offset depends on all three variable parts.
ZipFixture ThreeEntries() {
  ZipFixture f;
  f.entries.push_back(MakeEntry("first.txt", "stored bytes of the first entry"));
  f.entries.push_back(MakeEntry("dir/second.bin", SampleData(700), 8));
  f.entries.back().localExtra = UtExtra(1, {1533536566});
  f.entries.back().centralExtra = ExtraRecord(0x7875, std::string(11, 'x'));
  f.entries.back().comment = "a comment";
  f.entries.push_back(MakeEntry("third", "333"));
  f.entries.back().localExtra = ExtraRecord(0x000A, std::string(32, '\0'));
  return f;
}

// The name of the entry the walk stands on, as ReadEntryHeader gives it to
// a caller; "<unreadable>" when it cannot.
std::string CurrentName(ZipReader *reader) {
  char name[260];
  if (ReadEntryHeader(reader, nullptr, nullptr, name, sizeof name) != ZS_OK) return "<unreadable>";
  return name;
}

// What CheckLocalHeader reports of an entry's local header.
struct LocalHeaderSeen {
  unsigned variable = 0;     // name and extra field lengths together
  unsigned extraOffset = 0;  // where the local extra field starts
  unsigned extraLength = 0;
};

// Steps the walk to entry i of f (from entry i - 1) and checks what the
// reader's next reads show: the local header at localHeaderOffset (without
// the bytes before the archive), the entry's name and the length of its
// local extra field.
void StepToEntry(ZipReader *reader, const ZipFixture &f, int i, unsigned localHeaderOffset, LocalHeaderSeen *seen) {
  const FixtureEntry &e = f.entries[i];
  if (i) GoToNextEntry(reader);
  EXPECT_EQ(reader->localHeaderOffset, localHeaderOffset);
  char name[260];
  ASSERT_EQ(ReadEntryHeader(reader, nullptr, nullptr, name, sizeof name), ZS_OK);
  EXPECT_EQ(std::string(name), e.name);
  ASSERT_EQ(CheckLocalHeader(reader, &seen->variable, &seen->extraOffset, &seen->extraLength), ZS_OK);
  EXPECT_EQ(seen->extraLength, e.localExtra.size());
}

// ---- End record search ------------------------------------------------------

// The search reads the tail in blocks of 1,024 bytes plus 4 of overlap, so
// a signature that straddles two blocks is still seen. Sweeping the comment
// length moves the end record across the first two block borders; the
// bytes in front keep the blocks there full-sized (a block that starts at
// offset 0 would cover the border by itself).
TEST(EndRecordSearch, FindsTheSignatureAtEveryDistanceFromTheEnd) {
  ZipFixture f;
  f.prefix = std::string(4000, 'p');
  f.entries.push_back(MakeEntry("a.txt", "alpha"));
  for (size_t commentLength = 0; commentLength <= 2100; commentLength++) {
    SCOPED_TRACE(commentLength);
    f.archiveComment.assign(commentLength, 'c');
    FixtureLayout layout;
    GuardedImage image(f.Build(&layout));
    ZipSource *source = NewMemorySource(image.data(), image.size());
    EXPECT_EQ(LocateEndOfDirectory(source), layout.endRecord);
    ScopedReader reader(source);
    ASSERT_NE(reader.get(), nullptr);
    EXPECT_EQ(reader->endRecordOffset, layout.endRecord);
    EXPECT_EQ(reader->entryCount, 1u);
    EXPECT_EQ(reader->archiveCommentLength, commentLength);
    if (HasFailure()) return;
  }
}

// The search reaches back 65,535 bytes: an end record with a comment of
// 65,513 bytes starts exactly there. One byte more hides it, and the end
// record fields are then read at offset 0, where a local header stands: its
// version-needed field is taken for "number of this disk".
TEST(EndRecordSearch, CommentLimitHidesTheEndRecord) {
  struct Case {
    size_t commentLength;
    uint16_t versionNeeded, flags;
    uint32_t dosDateTime;
    int status;  // of the open
  } cases[] = {
      {65513, 20, 2, 0x4D0672D7, ZS_OK},
      {65514, 20, 2, 0x4D0672D7, ZS_BAD_ARCHIVE},  // version 20 read as this disk
      // The fields at offset 0 happen to pass the disk and count tests
      // (this disk 0, directory disk 0, method 0 == time 0): the open fails
      // for want of an end record alone.
      {65514, 0, 0, 0x4D060000, ZS_IO_ERROR},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.commentLength);
    SCOPED_TRACE(c.versionNeeded);
    ZipFixture f;
    f.entries.push_back(MakeEntry("a.txt", "alpha"));
    f.entries[0].versionNeeded = c.versionNeeded;
    f.entries[0].flags = c.flags;
    f.entries[0].dosDateTime = c.dosDateTime;
    f.archiveComment.assign(c.commentLength, 'c');
    FixtureLayout layout;
    GuardedImage image(f.Build(&layout));
    ZipSource *source = NewMemorySource(image.data(), image.size());
    EXPECT_EQ(LocateEndOfDirectory(source), c.status == ZS_OK ? layout.endRecord : 0u);
    ScopedReader reader(source);
    EXPECT_EQ(ZipOpenStatus, c.status);
    EXPECT_EQ(reader.get() != nullptr, c.status == ZS_OK);

    LastZipResult = 0x1234;
    ZipHandle *handle = OpenZipBuffer(image.data(), image.size());
    EXPECT_EQ(LastZipResult, c.status);
    EXPECT_EQ(handle != nullptr, c.status == ZS_OK);
    if (handle) CloseZipArchive(handle);
  }
}

// When the signature occurs more than once in the tail (here in the archive
// comment, as copies of the real end record), the one nearest the end wins,
// and the open reads its fields from there.
TEST(EndRecordSearch, TheSignatureNearestTheEndWins) {
  const size_t kComment = 4000;
  const std::vector<std::vector<size_t>> placements = {
      {10}, {10, 900}, {10, 1500}, {3000}, {100, 3900 - 22}, {kComment - 22}};
  for (const std::vector<size_t> &at : placements) {
    SCOPED_TRACE(at.back());
    ZipFixture f;
    f.entries.push_back(MakeEntry("a.txt", "alpha"));
    f.archiveComment.assign(kComment, 'c');
    FixtureLayout layout;
    std::string plain = f.Build(&layout);
    std::string endRecord = plain.substr(layout.endRecord, 22);
    for (size_t pos : at) f.archiveComment.replace(pos, 22, endRecord);
    GuardedImage image(f.Build(&layout));
    unsigned expected = layout.endRecord + 22 + (unsigned)at.back();
    ZipSource *source = NewMemorySource(image.data(), image.size());
    EXPECT_EQ(LocateEndOfDirectory(source), expected);
    ScopedReader reader(source);
    ASSERT_NE(reader.get(), nullptr);
    EXPECT_EQ(reader->endRecordOffset, expected);
    // The copy describes a directory that ends where the real end record
    // stands; the distance becomes bytes before the archive.
    EXPECT_EQ(reader->bytesBeforeArchive, expected - layout.endRecord);
  }
}

// An end record at source offset 0 is never found, so an empty archive of
// its 22 bytes alone does not open; one byte in front of it is enough.
TEST(EndRecordSearch, EndRecordAtOffsetZeroIsNotFound) {
  struct Case {
    std::string prefix, comment;
    unsigned found;
  } cases[] = {{"", "", 0}, {"", "comment", 0}, {"x", "", 1}, {"x", "comment", 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.prefix + "|" + c.comment);
    ZipFixture f;
    f.prefix = c.prefix;
    f.archiveComment = c.comment;
    GuardedImage image(f.Build());
    ZipSource *source = NewMemorySource(image.data(), image.size());
    EXPECT_EQ(LocateEndOfDirectory(source), c.found);
    ScopedReader reader(source);
    if (c.found) {
      ASSERT_NE(reader.get(), nullptr);
      EXPECT_EQ(ZipOpenStatus, ZS_OK);
      EXPECT_EQ(reader->entryCount, 0u);
      EXPECT_EQ(reader->bytesBeforeArchive, 1u);
    } else {
      EXPECT_EQ(reader.get(), nullptr);
      EXPECT_EQ(ZipOpenStatus, ZS_IO_ERROR);
    }
  }
}

// Four bytes or fewer are not searched at all; five are.
TEST(EndRecordSearch, SourcesOfFourBytesOrLessAreNotSearched) {
  for (size_t n = 0; n <= 4; n++) {
    SCOPED_TRACE(n);
    GuardedImage image(std::string(kEndSignature, n));
    ZipSource *source = NewMemorySource(image.data(), image.size());
    EXPECT_EQ(LocateEndOfDirectory(source), 0u);
    ScopedReader reader(source);
    EXPECT_EQ(reader.get(), nullptr);
    EXPECT_NE(ZipOpenStatus, ZS_OK);
  }
  GuardedImage five("x" + std::string(kEndSignature, 4));
  ZipSource *source = NewMemorySource(five.data(), five.size());
  EXPECT_EQ(LocateEndOfDirectory(source), 1u);
  RtFree(source);
}

// ---- Opening ------------------------------------------------------------------

TEST(OpenZipReader, RefusesInconsistentEndRecords) {
  FixtureLayout layout;
  ThreeEntries().Build(&layout);
  const uint32_t size = layout.endRecord - layout.directoryOffset;
  const uint32_t offset = layout.directoryOffset;
  struct Case {
    const char *what;
    void (*change)(ZipFixture &, uint32_t size, uint32_t offset);
    int status;
    unsigned bytesBefore;
  } cases[] = {
      {"consistent", [](ZipFixture &, uint32_t, uint32_t) {}, ZS_OK, 0},
      {"this disk 1", [](ZipFixture &f, uint32_t, uint32_t) { f.thisDisk = 1; }, ZS_BAD_ARCHIVE, 0},
      {"directory disk 1", [](ZipFixture &f, uint32_t, uint32_t) { f.directoryDisk = 1; }, ZS_BAD_ARCHIVE, 0},
      {"records on disk below total", [](ZipFixture &f, uint32_t, uint32_t) { f.recordsOnDisk = 2; },
       ZS_BAD_ARCHIVE, 0},
      {"total below records on disk", [](ZipFixture &f, uint32_t, uint32_t) { f.totalRecords = 2; },
       ZS_BAD_ARCHIVE, 0},
      {"directory one byte longer", [](ZipFixture &f, uint32_t s, uint32_t) { f.directorySize = s + 1; },
       ZS_BAD_ARCHIVE, 0},
      {"directory one byte later", [](ZipFixture &f, uint32_t, uint32_t o) { f.directoryOffset = o + 1; },
       ZS_BAD_ARCHIVE, 0},
      // Ending before the end record is not an inconsistency: the gap is
      // taken for bytes in front of the archive.
      {"directory ten bytes earlier", [](ZipFixture &f, uint32_t, uint32_t o) { f.directoryOffset = o - 10; },
       ZS_OK, 10},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ZipFixture f = ThreeEntries();
    c.change(f, size, offset);
    GuardedImage image(f.Build());
    ZipOpenStatus = 0x1234;
    ScopedReader reader(image);
    EXPECT_EQ(ZipOpenStatus, c.status);
    EXPECT_EQ(reader.get() != nullptr, c.status == ZS_OK);
    if (reader.get()) {
      EXPECT_EQ(reader->bytesBeforeArchive, c.bytesBefore);
    }
  }
  EXPECT_EQ(OpenZipReader(nullptr), nullptr);
  EXPECT_EQ(ZipOpenStatus, 0x10000);
}

// Data in front of the archive (a self-extractor's stub, say) shifts every
// stored offset by its length.
TEST(OpenZipReader, ArchiveBehind100BytesOfOtherData) {
  ZipFixture f = ThreeEntries();
  f.prefix = std::string(100, 'p');
  f.archiveComment = "archive comment";
  FixtureLayout layout;
  GuardedImage image(f.Build(&layout));
  ScopedReader reader(image);
  ASSERT_NE(reader.get(), nullptr);
  EXPECT_EQ(reader->bytesBeforeArchive, 100u);
  EXPECT_EQ(reader->endRecordOffset, layout.endRecord);
  EXPECT_EQ(reader->directoryOffset, layout.directoryOffset - 100);
  EXPECT_EQ(reader->directorySize, layout.endRecord - layout.directoryOffset);
  EXPECT_EQ(reader->entryCount, 3u);
  EXPECT_EQ(reader->archiveCommentLength, f.archiveComment.size());
  EXPECT_EQ(reader->openStream, nullptr);

  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    const FixtureEntry &e = f.entries[i];
    LocalHeaderSeen seen;
    ASSERT_NO_FATAL_FAILURE(StepToEntry(reader.get(), f, i, layout.localHeader[i] - 100, &seen));
    EXPECT_EQ(reader->currentRecordOffset, layout.centralRecord[i] - 100);
    EXPECT_EQ(seen.extraOffset, layout.localHeader[i] - 100 + 30 + e.name.size());
    // The entry data starts where the fixture put it, once the 100 bytes
    // are added back.
    EXPECT_EQ(reader->bytesBeforeArchive + reader->localHeaderOffset + 30 + seen.variable, layout.dataOffset[i]);
    // The local extra field is read where the item layer reads it.
    std::string extra(seen.extraLength, '\0');
    ASSERT_TRUE(SeekSource(reader->source, reader->bytesBeforeArchive + seen.extraOffset));
    EXPECT_EQ(ReadSource(&extra[0], 1, seen.extraLength, reader->source), seen.extraLength);
    EXPECT_EQ(extra, e.localExtra);
  }
}

// ---- Records ------------------------------------------------------------------

TEST(ReadEntryHeader, DeliversEveryFieldOfTheRecord) {
  ZipFixture f;
  f.entries.push_back(MakeEntry("lead", "x"));
  FixtureEntry e = MakeEntry("dir/name.txt", SampleData(300), 8);
  e.versionMadeBy = 0x031E;
  e.versionNeeded = 0x0014;
  e.flags = 0x0806;
  e.dosDateTime = 0x4D0672D7;
  e.internalAttributes = 0x0001;
  e.externalAttributes = 0x81A40020;
  e.centralExtra = "1234567";
  e.comment = "abc";
  f.entries.push_back(e);
  FixtureLayout layout;
  std::string bytes = f.Build(&layout);
  PutU16(bytes, layout.centralRecord[1] + 34, 0x0102);  // disk number start
  GuardedImage image(bytes);
  ScopedReader reader(image);
  ASSERT_NE(reader.get(), nullptr);
  GoToNextEntry(reader.get());
  ASSERT_TRUE(reader->currentEntryValid);

  ZipEntryHeader h;
  memset(&h, 0xCD, sizeof h);
  unsigned localOffset = 0xDEADBEEF;
  char name[260];
  ASSERT_EQ(ReadEntryHeader(reader.get(), &h, &localOffset, name, sizeof name), ZS_OK);
  EXPECT_EQ(h.versionMadeBy, 0x031Eu);
  EXPECT_EQ(h.versionNeeded, 0x0014u);
  EXPECT_EQ(h.flags, 0x0806u);
  EXPECT_EQ(h.method, 8u);
  EXPECT_EQ(h.dosDateTime, 0x4D0672D7u);
  EXPECT_EQ(h.crc, Crc32Of(e.data));
  EXPECT_EQ(h.compressedSize, layout.centralRecord[0] - layout.dataOffset[1]);
  EXPECT_EQ(h.uncompressedSize, 300u);
  EXPECT_EQ(h.nameLength, 12u);
  EXPECT_EQ(h.extraLength, 7u);
  EXPECT_EQ(h.commentLength, 3u);
  EXPECT_EQ(h.diskNumberStart, 0x0102u);
  EXPECT_EQ(h.internalAttributes, 1u);
  EXPECT_EQ(h.externalAttributes, 0x81A40020u);
  EXPECT_EQ(localOffset, layout.localHeader[1]);
  EXPECT_EQ(std::string(name), "dir/name.txt");
  // The walk's own copy agrees, and re-reading did not move the reader.
  EXPECT_EQ(memcmp(&reader->currentHeader, &h, sizeof h), 0);
  EXPECT_EQ(reader->localHeaderOffset, layout.localHeader[1]);
  EXPECT_EQ(CurrentName(reader.get()), "dir/name.txt");
}

// The name is copied and terminated when it is shorter than the buffer;
// otherwise the buffer is filled and left unterminated. Nothing past the
// given size is written.
TEST(ReadEntryHeader, NameBufferBounds) {
  struct Case {
    size_t nameLength;
    unsigned bufferSize;
  } cases[] = {{259, 260}, {260, 260}, {300, 260}, {0, 260}, {5, 260}, {5, 6}, {5, 5}, {5, 0}, {0, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.nameLength);
    SCOPED_TRACE(c.bufferSize);
    std::string name;
    for (size_t i = 0; i < c.nameLength; i++) name += (char)('a' + i % 26);
    ZipFixture f;
    f.entries.push_back(MakeEntry(name, "data"));
    GuardedImage image(f.Build());
    ScopedReader reader(image);
    ASSERT_NE(reader.get(), nullptr);
    ASSERT_TRUE(reader->currentEntryValid);
    std::string buffer(400, '\xAA');
    ZipEntryHeader h;
    ASSERT_EQ(ReadEntryHeader(reader.get(), &h, nullptr, &buffer[0], c.bufferSize), ZS_OK);
    EXPECT_EQ(h.nameLength, c.nameLength);
    size_t copied = c.nameLength < c.bufferSize ? c.nameLength : c.bufferSize;
    EXPECT_EQ(buffer.substr(0, copied), name.substr(0, copied));
    size_t untouchedFrom = copied;
    if (c.nameLength < c.bufferSize) {
      EXPECT_EQ(buffer[c.nameLength], '\0');
      untouchedFrom = c.nameLength + 1;
    }
    EXPECT_EQ(buffer.substr(untouchedFrom), std::string(400 - untouchedFrom, '\xAA'));
  }
}

// A record that cannot be read in full leaves every output as it was.
TEST(ReadEntryHeader, FailedReadWritesNothing) {
  struct Case {
    const char *what;
    size_t field;      // offset in the second central record
    uint32_t value;
    int fieldWidth;
    int status;
  } cases[] = {
      {"wrong signature", 0, 0x02014B51, 4, ZS_BAD_ARCHIVE},
      // The last record's name runs past the end of the image.
      {"name past the end", 28, 0x4000, 2, ZS_IO_ERROR},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ZipFixture f;
    f.entries.push_back(MakeEntry("one", "1"));
    f.entries.push_back(MakeEntry("two", "2"));
    FixtureLayout layout;
    std::string bytes = f.Build(&layout);
    if (c.fieldWidth == 4)
      PutU32(bytes, layout.centralRecord[1] + c.field, c.value);
    else
      PutU16(bytes, layout.centralRecord[1] + c.field, (uint16_t)c.value);
    GuardedImage image(bytes);
    ScopedReader reader(image);
    ASSERT_NE(reader.get(), nullptr);
    GoToNextEntry(reader.get());
    ZipEntryHeader h, before;
    memset(&h, 0xCD, sizeof h);
    before = h;
    unsigned localOffset = 0xDEADBEEF;
    char name[260];
    EXPECT_EQ(ReadEntryHeader(reader.get(), &h, &localOffset, name, sizeof name), c.status);
    EXPECT_EQ(memcmp(&h, &before, sizeof h), 0);
    EXPECT_EQ(localOffset, 0xDEADBEEFu);
  }
  EXPECT_EQ(ReadEntryHeader(nullptr, nullptr, nullptr, nullptr, 0), ZS_BAD_ARGUMENT);
}

// The modification date is broken down field by field with no range checks.
TEST(ReadEntryHeader, BreaksTheDateDown) {
  struct Case {
    uint32_t dosDateTime;
    int second, minute, hour, day, month, year;
  } cases[] = {
      {0x4D0672D7, 46, 22, 14, 6, 7, 2018},
      {DosDateTime(2018, 0, 6, 14, 22, 23), 46, 22, 14, 6, -1, 2018},  // month field 0
      {DosDateTime(2001, 1, 1, 0, 0, 29), 58, 0, 0, 1, 0, 2001},      // seconds field 29
      {0x00000000, 0, 0, 0, 0, -1, 1980},
      {0xFFFFFFFF, 62, 63, 31, 31, 14, 2107},
  };
  ZipFixture f;
  for (const Case &c : cases) {
    f.entries.push_back(MakeEntry("e" + std::to_string(f.entries.size()), "d"));
    f.entries.back().dosDateTime = c.dosDateTime;
  }
  GuardedImage image(f.Build());
  ScopedReader reader(image);
  ASSERT_NE(reader.get(), nullptr);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.dosDateTime);
    ASSERT_TRUE(reader->currentEntryValid);
    const ZipEntryHeader &h = reader->currentHeader;
    EXPECT_EQ(h.dosDateTime, c.dosDateTime);
    EXPECT_EQ(h.second, c.second);
    EXPECT_EQ(h.minute, c.minute);
    EXPECT_EQ(h.hour, c.hour);
    EXPECT_EQ(h.day, c.day);
    EXPECT_EQ(h.month, c.month);
    EXPECT_EQ(h.year, c.year);
    GoToNextEntry(reader.get());
  }
}

// ---- Walking ------------------------------------------------------------------

TEST(Walk, StepsOverNameExtraAndCommentAndStopsAtTheLastEntry) {
  ZipFixture f = ThreeEntries();
  FixtureLayout layout;
  GuardedImage image(f.Build(&layout));
  ScopedReader reader(image);
  ASSERT_NE(reader.get(), nullptr);
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    if (i) GoToNextEntry(reader.get());
    EXPECT_EQ(CurrentName(reader.get()), f.entries[i].name);
    EXPECT_TRUE(reader->currentEntryValid);
    EXPECT_EQ(reader->currentRecordOffset, layout.centralRecord[i]);
    EXPECT_EQ(reader->localHeaderOffset, layout.localHeader[i]);
    EXPECT_EQ(reader->currentHeader.nameLength, f.entries[i].name.size());
  }
  ZipReader before = *reader.get();
  GoToNextEntry(reader.get());
  GoToNextEntry(reader.get());
  EXPECT_EQ(memcmp(reader.get(), &before, sizeof before), 0);

  EXPECT_EQ(GoToFirstEntry(reader.get()), ZS_OK);
  EXPECT_EQ(CurrentName(reader.get()), f.entries[0].name);
  EXPECT_EQ(reader->currentRecordOffset, layout.centralRecord[0]);
  EXPECT_EQ(reader->localHeaderOffset, layout.localHeader[0]);
  EXPECT_EQ(GoToFirstEntry(nullptr), ZS_BAD_ARGUMENT);
}

// A record that cannot be read stops the walk there: the index does not run
// on over records whose position is unknown, and a rewind recovers.
TEST(Walk, StopsAtAnUnreadableRecord) {
  for (int bad = 0; bad < 3; bad++) {
    SCOPED_TRACE(bad);
    ZipFixture f = ThreeEntries();
    FixtureLayout layout;
    std::string bytes = f.Build(&layout);
    PutU32(bytes, layout.centralRecord[bad], 0x02014B51);
    GuardedImage image(bytes);
    ZipOpenStatus = 0x1234;
    ScopedReader reader(image);
    ASSERT_NE(reader.get(), nullptr);
    EXPECT_EQ(ZipOpenStatus, ZS_OK);  // a bad first record does not fail the open
    for (int i = 0; i < bad; i++) GoToNextEntry(reader.get());
    EXPECT_EQ(CurrentName(reader.get()), "<unreadable>");
    EXPECT_FALSE(reader->currentEntryValid);
    unsigned offset = reader->currentRecordOffset;
    EXPECT_EQ(offset, layout.centralRecord[bad]);
    // The next good record is not reached: the walk stays on the bad one.
    GoToNextEntry(reader.get());
    EXPECT_EQ(CurrentName(reader.get()), "<unreadable>");
    EXPECT_EQ(reader->currentRecordOffset, offset);
    EXPECT_FALSE(reader->currentEntryValid);

    EXPECT_EQ(GoToFirstEntry(reader.get()), bad == 0 ? ZS_BAD_ARCHIVE : ZS_OK);
    EXPECT_EQ(CurrentName(reader.get()), bad == 0 ? "<unreadable>" : f.entries[0].name);
    EXPECT_EQ(reader->currentEntryValid != 0, bad != 0);
  }
}

// ---- Local headers --------------------------------------------------------------

// The local header must agree with the central record on method, CRC-32,
// sizes and name length; bit 3 of the local flags waives the CRC-32 and size
// tests (their values then follow the data). Version, time and the extra
// field may differ. Each case is the second entry of its archive.
TEST(CheckLocalHeader, ComparesTheLocalHeaderWithTheCentralRecord) {
  struct Case {
    const char *what;
    void (*entry)(FixtureEntry &);
    size_t field;  // local header field to patch (0: none)
    int width;
    uint32_t value;
    int status;
  } cases[] = {
      {"both stored", [](FixtureEntry &e) { e.method = 0; }, 0, 0, 0, ZS_OK},
      {"both deflated", [](FixtureEntry &e) { e.method = 8; }, 0, 0, 0, ZS_OK},
      {"local 8, central 0", [](FixtureEntry &e) { e.method = 0; e.localMethod = 8; }, 0, 0, 0, ZS_BAD_ARCHIVE},
      {"local 0, central 8", [](FixtureEntry &e) { e.method = 8; e.localMethod = 0; }, 0, 0, 0, ZS_BAD_ARCHIVE},
      {"both 12", [](FixtureEntry &e) { e.method = 12; }, 0, 0, 0, ZS_BAD_ARCHIVE},
      {"bit 3, zero CRC and sizes", [](FixtureEntry &e) { e.dataDescriptor = true; }, 0, 0, 0, ZS_OK},
      {"zero CRC and sizes without bit 3", [](FixtureEntry &e) { e.dataDescriptor = true; },
       6, 2, 0x0002, ZS_BAD_ARCHIVE},
      {"bit 3 with a wrong CRC", [](FixtureEntry &e) { e.dataDescriptor = true; }, 14, 4, 0x12345678, ZS_OK},
      {"bit 3 does not waive the method",
       [](FixtureEntry &e) { e.method = 8; e.dataDescriptor = true; e.localMethod = 0; },
       0, 0, 0, ZS_BAD_ARCHIVE},
      {"CRC differs", [](FixtureEntry &) {}, 14, 4, 0x12345678, ZS_BAD_ARCHIVE},
      {"compressed size differs", [](FixtureEntry &) {}, 18, 4, 1, ZS_BAD_ARCHIVE},
      {"uncompressed size differs", [](FixtureEntry &) {}, 22, 4, 1, ZS_BAD_ARCHIVE},
      {"name length differs", [](FixtureEntry &e) { e.localName = "other-name.txt"; }, 0, 0, 0, ZS_BAD_ARCHIVE},
      {"name length differs under bit 3",
       [](FixtureEntry &e) { e.dataDescriptor = true; e.localName = "x"; }, 0, 0, 0, ZS_BAD_ARCHIVE},
      {"same length, other name", [](FixtureEntry &e) { e.localName = "ENTRY.TXT"; }, 0, 0, 0, ZS_OK},
      {"wrong signature", [](FixtureEntry &) {}, 0, 4, 0x02014B50, ZS_BAD_ARCHIVE},
      {"version needed differs", [](FixtureEntry &) {}, 4, 2, 0xFFFF, ZS_OK},
      {"time differs", [](FixtureEntry &) {}, 10, 4, 0, ZS_OK},
      {"local extra differs from central",
       [](FixtureEntry &e) { e.localExtra = UtExtra(3, {1, 2}); e.centralExtra = UtExtra(1, {1}); },
       0, 0, 0, ZS_OK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ZipFixture f;
    f.prefix = "sfx";
    f.entries.push_back(MakeEntry("lead.txt", "lead"));
    FixtureEntry e = MakeEntry("entry.txt", SampleData(200));
    c.entry(e);
    f.entries.push_back(e);
    FixtureLayout layout;
    std::string bytes = f.Build(&layout);
    size_t at = layout.localHeader[1] + c.field;
    if (c.width == 4) PutU32(bytes, at, c.value);
    if (c.width == 2) PutU16(bytes, at, (uint16_t)c.value);
    GuardedImage image(bytes);
    ScopedReader reader(image);
    ASSERT_NE(reader.get(), nullptr);
    GoToNextEntry(reader.get());
    ASSERT_TRUE(reader->currentEntryValid);
    unsigned variable = 0xEEEE, extraOffset = 0xEEEE, extraLength = 0xEEEE;
    EXPECT_EQ(CheckLocalHeader(reader.get(), &variable, &extraOffset, &extraLength), c.status);
    // The outputs come from the local header whatever the verdict.
    size_t localName = e.localName ? e.localName->size() : e.name.size();
    EXPECT_EQ(extraOffset, layout.localHeader[1] - 3 + 30 + localName);
    EXPECT_EQ(extraLength, e.localExtra.size());
    EXPECT_EQ(variable, localName + e.localExtra.size());
    // Checking reads without moving the reader.
    EXPECT_EQ(CurrentName(reader.get()), e.name);
    EXPECT_TRUE(reader->currentEntryValid);
  }
}

// A central record that points its local header past the image.
TEST(CheckLocalHeader, LocalHeaderOutsideTheImage) {
  for (uint32_t where : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFF0u}) {
    SCOPED_TRACE(where);
    ZipFixture f;
    f.entries.push_back(MakeEntry("only", "data"));
    FixtureLayout layout;
    std::string bytes = f.Build(&layout);
    uint32_t offset = where == 0 ? (uint32_t)bytes.size() : where == 1 ? (uint32_t)bytes.size() - 10 : where;
    PutU32(bytes, layout.centralRecord[0] + 42, offset);
    GuardedImage image(bytes);
    ScopedReader reader(image);
    ASSERT_NE(reader.get(), nullptr);
    ASSERT_TRUE(reader->currentEntryValid);
    EXPECT_EQ(reader->localHeaderOffset, offset);
    unsigned variable, extraOffset, extraLength;
    EXPECT_NE(CheckLocalHeader(reader.get(), &variable, &extraOffset, &extraLength), ZS_OK);
  }
}

// ---- Sources ------------------------------------------------------------------

// The guard every test here relies on: the byte right after an image, of
// any size, cannot be read, while the image itself can.
TEST(GuardedImage, TheByteAfterTheImageCannotBeRead) {
  for (size_t size : {0, 1, 4095, 4096, 4097}) {
    SCOPED_TRACE(size);
    GuardedImage image(std::string(size, 'g'));
    EXPECT_TRUE(IsBadReadPtr(image.data() + size, 1));
    if (size) {
      EXPECT_FALSE(IsBadReadPtr(image.data(), size));
      EXPECT_EQ(image.bytes(), std::string(size, 'g'));
    }
  }
}

TEST(MemorySource, ReadsStopAtTheEndOfTheImage) {
  GuardedImage image(std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A", 10));
  ZipSource *s = NewMemorySource(image.data(), image.size());
  unsigned s16 = 0, s32 = 0;
  EXPECT_EQ(ReadSourceShort(s, &s16), ZS_OK);
  EXPECT_EQ(s16, 0x0201u);
  EXPECT_EQ(ReadSourceLong(s, &s32), ZS_OK);
  EXPECT_EQ(s32, 0x06050403u);
  EXPECT_EQ(s->position, 6u);

  // Whole items only; the bytes of a partial item are consumed all the same.
  char buffer[16];
  memset(buffer, 0, sizeof buffer);
  ASSERT_TRUE(SeekSource(s, 1));
  EXPECT_EQ(ReadSource(buffer, 4, 3, s), 2u);
  EXPECT_EQ(std::string(buffer, 9), std::string("\x02\x03\x04\x05\x06\x07\x08\x09\x0A", 9));
  EXPECT_EQ(s->position, 10u);
  EXPECT_EQ(ReadSource(buffer, 1, 1, s), 0u);

  // The end of the data is not an error, and the value is left alone.
  int byte = 77;
  EXPECT_EQ(ReadSourceByte(s, &byte), ZS_OK);
  EXPECT_EQ(byte, 77);
  // Any offset is accepted; past the end nothing is read.
  EXPECT_TRUE(SeekSource(s, 0xFFFFFFF0u));
  EXPECT_EQ(ReadSource(buffer, 1, 16, s), 0u);
  EXPECT_EQ(ReadSourceByte(s, &byte), ZS_OK);
  EXPECT_EQ(byte, 77);
  ASSERT_TRUE(SeekSource(s, 9));
  EXPECT_EQ(ReadSourceByte(s, &byte), ZS_OK);
  EXPECT_EQ(byte, 0x0A);
  GuardedImage high(std::string(4, '\xFF'));
  s->data = high.data();
  s->dataSize = high.size();
  ASSERT_TRUE(SeekSource(s, 0));
  EXPECT_EQ(ReadSourceLong(s, &s32), ZS_OK);
  EXPECT_EQ(s32, 0xFFFFFFFFu);
  RtFree(s);
}

class HandleSourceTest : public ::testing::Test {
 protected:
  std::wstring WriteArchiveFile(const std::string &bytes) {
    std::wstring path = dir_ / L"archive.zip";
    EXPECT_TRUE(WriteWholeFile(path, bytes));
    return path;
  }
  static HANDLE OpenForReading(const std::wstring &path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  static bool HandleIsOpen(HANDLE h) {
    DWORD flags;
    return GetHandleInformation(h, &flags) != 0;
  }
  TempDir dir_;
};

// The handle mode reads the same archive the same way, whatever stands in
// front of it in the file and wherever the caller says the archive begins.
TEST_F(HandleSourceTest, OpensWalksAndChecksARealFile) {
  ZipFixture f = ThreeEntries();
  f.archiveComment = std::string(3000, 'c');  // the search crosses blocks
  struct Case {
    size_t junk;          // bytes in the file before the archive
    unsigned baseOffset;  // where the caller says source offset 0 is
    unsigned bytesBefore;
    unsigned endRecordDelta;  // end record's source offset minus its archive offset
  } cases[] = {{0, 0, 0, 0}, {100, 0, 100, 100}, {64, 64, 64, 0}, {64, 16, 64, 48}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.junk);
    SCOPED_TRACE(c.baseOffset);
    FixtureLayout layout;
    std::string archive = f.Build(&layout);
    std::wstring path = WriteArchiveFile(std::string(c.junk, 'j') + archive);
    HANDLE h = OpenForReading(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    {
      ScopedReader reader(OpenZipReader(NewHandleSource(h, true, c.baseOffset)));
      ASSERT_NE(reader.get(), nullptr);
      EXPECT_EQ(ZipOpenStatus, ZS_OK);
      EXPECT_EQ(reader->bytesBeforeArchive, c.bytesBefore);
      EXPECT_EQ(reader->source->baseOffset, 0u);
      EXPECT_EQ(reader->endRecordOffset, layout.endRecord + c.endRecordDelta);
      EXPECT_EQ(reader->entryCount, 3u);
      for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        LocalHeaderSeen seen;
        ASSERT_NO_FATAL_FAILURE(StepToEntry(reader.get(), f, i, layout.localHeader[i], &seen));
        std::string stored(reader->currentHeader.compressedSize, '\0');
        ASSERT_TRUE(SeekSource(reader->source, reader->bytesBeforeArchive + seen.extraOffset + seen.extraLength));
        EXPECT_EQ(ReadSource(&stored[0], (unsigned)stored.size(), 1, reader->source), 1u);
        EXPECT_EQ(stored, archive.substr(layout.dataOffset[i], stored.size()));
      }
      EXPECT_FALSE(reader->source->readFailed);
    }
    EXPECT_FALSE(HandleIsOpen(h));  // closing the reader closed the file
  }
}

// A handle that cannot be positioned cannot be searched. The file pointer
// is left on the end record, so the fields the open reads there are fine:
// only the missing search fails it.
TEST_F(HandleSourceTest, NonSeekableSourceIsRefused) {
  FixtureLayout layout;
  std::wstring path = WriteArchiveFile(ThreeEntries().Build(&layout));
  HANDLE h = OpenForReading(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ZipSource *probe = NewHandleSource(h, false, 0);
  EXPECT_EQ(LocateEndOfDirectory(probe), 0u);
  EXPECT_FALSE(SeekSource(probe, 0));
  RtFree(probe);

  SetFilePointer(h, (LONG)layout.endRecord, nullptr, FILE_BEGIN);
  ZipOpenStatus = 0x1234;
  EXPECT_EQ(OpenZipReader(NewHandleSource(h, false, 0)), nullptr);
  EXPECT_EQ(ZipOpenStatus, ZS_IO_ERROR);
  EXPECT_FALSE(HandleIsOpen(h));  // the failed open closed the file
}

// A failing ReadFile is remembered, and from then on a read that gets no
// byte is an error; the plain end of a file is not.
TEST_F(HandleSourceTest, FailedReadFileIsReported) {
  std::wstring path = WriteArchiveFile("ab");
  HANDLE h = OpenForReading(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ZipSource *s = NewHandleSource(h, true, 0);
  int byte = 5;
  ASSERT_TRUE(SeekSource(s, 2));
  EXPECT_EQ(ReadSourceByte(s, &byte), ZS_OK);
  EXPECT_EQ(byte, 5);
  EXPECT_FALSE(s->readFailed);
  CloseHandle(h);
  RtFree(s);

  // No read access: every ReadFile fails.
  h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  s = NewHandleSource(h, true, 0);
  ASSERT_TRUE(SeekSource(s, 0));
  EXPECT_EQ(ReadSourceByte(s, &byte), ZS_IO_ERROR);
  EXPECT_EQ(byte, 5);
  EXPECT_TRUE(s->readFailed);
  unsigned value = 9;
  EXPECT_EQ(ReadSourceLong(s, &value), ZS_IO_ERROR);
  EXPECT_EQ(value, 0u);
  value = 9;
  EXPECT_EQ(ReadSourceShort(s, &value), ZS_IO_ERROR);
  EXPECT_EQ(value, 0u);
  CloseHandle(h);
  RtFree(s);

  std::wstring archive = WriteArchiveFile(ThreeEntries().Build());
  h = CreateFileW(archive.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenZipReader(NewHandleSource(h, true, 0)), nullptr);
  EXPECT_EQ(ZipOpenStatus, ZS_IO_ERROR);
  EXPECT_FALSE(HandleIsOpen(h));
}

}  // namespace
