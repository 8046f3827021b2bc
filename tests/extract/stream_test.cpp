// Entry data stream: reading one entry's bytes out of a ZipReader.
//
// The stream is driven directly on a reader over an in-memory archive that is
// built field by field, so that each case can damage exactly one thing (a data
// byte, the deflate bit stream, a size, the local header) and show what the
// reader hands out: the piece sizes, the bytes, the end, and the CRC-32
// verdict on close. zlib, through its public interface, makes the deflate data
// the cases need. Every read goes into a buffer with a guard zone behind it,
// so a read that stores past its length is caught.

#include <string.h>
#include <zlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rt.h"
#include "scoped_archive.h"
#include "zip_fixture.h"
#include "zip_reader.h"
#include "zip_stream.h"

namespace {


struct ReadLog {
  std::vector<int> counts;  // every return value, the last one 0 or negative
  std::string bytes;        // everything delivered
  bool overran = false;     // a read stored bytes past its length
};

const unsigned char kGuard = 0x55;
const unsigned kGuardSize = 64;

// Reads pieces of up to length bytes (16 KiB by default, as extraction
// does) until the stream reports the end (0) or a status (< 0). A stream that
// keeps delivering stops after `limit` calls instead of running forever.
ReadLog ReadAll(ZipReader *reader, unsigned length = 16384, int limit = 1000) {
  ReadLog log;
  std::vector<unsigned char> buffer(length + kGuardSize);
  for (int call = 0; call < limit; call++) {
    memset(buffer.data(), kGuard, buffer.size());
    int n = ReadEntryStream(reader, buffer.data(), length);
    log.counts.push_back(n);
    for (unsigned i = length; i < buffer.size(); i++)
      if (buffer[i] != kGuard) log.overran = true;
    if (n <= 0) break;
    log.bytes.append((const char *)buffer.data(), n);
  }
  return log;
}


// Block header with BFINAL set and the reserved block type 3: inflate stops
// there with a data error.
const std::string kBadBlock = std::string("\x07", 1) + std::string(32, '\x5A');


std::string OneEntryImage(const FixtureEntry &e, FixtureLayout *layout = nullptr) {
  ZipFixture f;
  f.entries.push_back(e);
  return f.Build(layout);
}

const char *MethodName(uint16_t method) { return method ? "deflated" : "stored"; }

// The reader over a case's image opened, and the stream of its current
// entry opened with it.
::testing::AssertionResult StreamOpens(const ScopedReader &r) {
  if (!r.get()) return ::testing::AssertionFailure() << "the archive did not open: " << ZipOpenStatus;
  int opened = OpenEntryStream(r.get());
  if (opened != ZS_OK) return ::testing::AssertionFailure() << "OpenEntryStream: " << opened;
  return ::testing::AssertionSuccess();
}

TEST(EntryStream, StoredEntryComesInBufferSizedPiecesAndItsCrcIsCheckedOnClose) {
  const std::string data = SampleData(40000, 7);
  FixtureLayout layout;
  const std::string intact = OneEntryImage(MakeEntry("s.bin", data, 0), &layout);
  std::string altered = intact;
  altered[layout.dataOffset[0] + 20000] ^= 0x01;
  std::string alteredData = data;
  alteredData[20000] ^= 0x01;

  struct Case {
    const char *what;
    const std::string &image;
    const std::string &expected;
    int close;
  } cases[] = {
      {"intact", intact, data, ZS_OK},
      {"one data byte changed", altered, alteredData, ZS_CRC_MISMATCH},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ScopedReader r(c.image);
    ASSERT_TRUE(StreamOpens(r));
    ReadLog log = ReadAll(r.get());
    EXPECT_EQ(log.counts, (std::vector<int>{16384, 16384, 7232, 0}));
    EXPECT_FALSE(log.overran);
    EXPECT_TRUE(log.bytes == c.expected);
    EXPECT_EQ(ReadEntryStream(r.get(), nullptr, 0), 0);
    EXPECT_EQ(CloseEntryStream(r.get()), c.close);
  }
}

TEST(EntryStream, EmptyEntryEndsAtOnceAndPassesItsCrc) {
  for (uint16_t method : {0, 8}) {
    SCOPED_TRACE(MethodName(method));
    ScopedReader r(OneEntryImage(MakeEntry("empty", "", method)));
    ASSERT_TRUE(StreamOpens(r));
    ReadLog log = ReadAll(r.get());
    EXPECT_EQ(log.counts, (std::vector<int>{0}));
    EXPECT_FALSE(log.overran);
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
  }
}

// A zero-length read must neither deliver nor lose anything: the entry still
// comes out whole and its CRC-32 still matches.
TEST(EntryStream, ZeroLengthReadChangesNothing) {
  const std::string data = SampleData(40000, 3);
  for (uint16_t method : {0, 8}) {
    SCOPED_TRACE(MethodName(method));
    ScopedReader r(OneEntryImage(MakeEntry("z.bin", data, method)));
    ASSERT_TRUE(StreamOpens(r));
    char first[1000];
    EXPECT_EQ(ReadEntryStream(r.get(), first, 0), 0);
    ASSERT_EQ(ReadEntryStream(r.get(), first, sizeof first), (int)sizeof first);
    char untouched = 0x55;
    EXPECT_EQ(ReadEntryStream(r.get(), &untouched, 0), 0);
    EXPECT_EQ(untouched, 0x55);
    ReadLog rest = ReadAll(r.get());
    EXPECT_TRUE(std::string(first, sizeof first) + rest.bytes == data);
    EXPECT_EQ(rest.counts.back(), 0);
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
  }
}

// 100,000 bytes take several 16 KiB refills of the input buffer whether
// stored or deflated; all of them must happen within the one call.
TEST(EntryStream, BufferLargerThanTheEntryGetsItInOneCall) {
  const std::string data = SampleData(100000, 11);
  for (uint16_t method : {0, 8}) {
    SCOPED_TRACE(MethodName(method));
    FixtureEntry e = MakeEntry("big.bin", data, method);
    ASSERT_GT(RawDeflate(data).size(), 2u * 16384) << "the deflated case must need refills";
    ScopedReader r(OneEntryImage(e));
    ASSERT_TRUE(StreamOpens(r));
    ReadLog log = ReadAll(r.get(), 150000);
    EXPECT_EQ(log.counts, (std::vector<int>{100000, 0}));
    EXPECT_FALSE(log.overran);
    EXPECT_TRUE(log.bytes == data);
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
  }
}

// Deflate data that inflate gives up on: the reader hands out what was
// decoded before the fault, then reports the end, again and again. The close
// finds an incomplete entry and so has no CRC-32 to compare.
TEST(EntryStream, DeflatedEntryEndsWhereItsDataIsDamaged) {
  const std::string data = SampleData(40000, 5);
  const std::string full = RawDeflate(data);
  struct Case {
    const char *what;
    std::string packed;
    size_t decodable;  // bytes that decode before the fault; 0: some prefix
  } cases[] = {
      {"reserved block type after 30,000 bytes", RawDeflateFlushed(data.substr(0, 30000)) + kBadBlock, 30000},
      {"reserved block type at the start", kBadBlock, 0},
      {"data cut off halfway", full.substr(0, full.size() / 2), 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FixtureEntry e = MakeEntry("d.bin", data, 8);
    e.packedData = c.packed;
    ScopedReader r(OneEntryImage(e));
    ASSERT_TRUE(StreamOpens(r));
    ReadLog log = ReadAll(r.get());
    EXPECT_EQ(log.counts.back(), 0);
    EXPECT_FALSE(log.overran);
    if (c.decodable) {
      EXPECT_EQ(log.bytes.size(), c.decodable);
    }
    EXPECT_LT(log.bytes.size(), data.size());
    EXPECT_TRUE(log.bytes == data.substr(0, log.bytes.size()));
    char more[100];
    EXPECT_EQ(ReadEntryStream(r.get(), more, sizeof more), 0) << "a stalled stream stays at its end";
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
  }
}

// Damage that inflate cannot see still decodes to the full size; only the
// CRC-32 comparison on close catches it.
TEST(EntryStream, DeflatedDamageThatDecodesInFullFailsTheCrc) {
  const std::string data = SampleData(40000, 9);
  // Level 0 writes stored deflate blocks: one changed byte inside a block
  // changes one output byte and nothing else.
  std::string flipped = RawDeflate(data, 0);
  flipped[1000] ^= 0x20;
  struct Case {
    const char *what;
    std::string packed;
    uint32_t crc;
  } cases[] = {
      {"byte changed inside a stored deflate block", flipped, Crc32Of(data)},
      {"central CRC-32 differs", RawDeflate(data), Crc32Of(data) ^ 0x80000000u},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FixtureEntry e = MakeEntry("c.bin", data, 8);
    e.packedData = c.packed;
    e.crc = c.crc;
    ScopedReader r(OneEntryImage(e));
    ASSERT_TRUE(StreamOpens(r));
    ReadLog log = ReadAll(r.get());
    EXPECT_EQ(log.bytes.size(), data.size());
    EXPECT_EQ(log.counts.back(), 0);
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_CRC_MISMATCH);
  }
}

// Deflate data that decodes to more than the central record's size: the
// reader stops at that size, and the CRC-32 of what it delivered is the one
// compared.
TEST(EntryStream, NeverDeliversMoreThanTheCentralSize) {
  const std::string data = SampleData(1000, 2);
  FixtureEntry e = MakeEntry("long.bin", data, 8);
  e.uncompressedSize = 600;
  e.crc = Crc32Of(data.substr(0, 600));
  ScopedReader r(OneEntryImage(e));
  ASSERT_TRUE(StreamOpens(r));
  ReadLog log = ReadAll(r.get());
  EXPECT_EQ(log.counts, (std::vector<int>{600, 0}));
  EXPECT_FALSE(log.overran);
  EXPECT_TRUE(log.bytes == data.substr(0, 600));
  EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
}

TEST(EntryStream, ClosingBeforeTheEndSkipsTheCrc) {
  const std::string data = SampleData(40000, 4);
  for (uint16_t method : {0, 8}) {
    SCOPED_TRACE(MethodName(method));
    FixtureEntry e = MakeEntry("p.bin", data, method);
    e.crc = Crc32Of(data) + 1;
    ScopedReader r(OneEntryImage(e));
    ASSERT_TRUE(StreamOpens(r));
    char part[100];
    ASSERT_EQ(ReadEntryStream(r.get(), part, sizeof part), (int)sizeof part);
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
  }
}

// With bit 3 the local header may hold zero CRC-32 and sizes; the stream must
// take them from the central record. An entry behind one with a data
// descriptor is read too, at its own stored offset.
TEST(EntryStream, DataDescriptorEntriesAreReadWithTheCentralValues) {
  const std::string data = SampleData(40000, 6);
  const std::string after = SampleData(5000, 8);
  struct Case {
    const char *what;
    uint16_t method;
    bool descriptor;  // a real descriptor follows the data
  } cases[] = {
      {"deflated, descriptor after the data", 8, true},
      {"stored, descriptor after the data", 0, true},
      {"deflated, zero local values, no descriptor", 8, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ZipFixture f;
    f.entries.push_back(MakeEntry("dd.bin", data, c.method));
    f.entries[0].dataDescriptor = c.descriptor;
    f.entries[0].flags = 0x000A;
    f.entries.push_back(MakeEntry("after.bin", after, 8));
    FixtureLayout layout;
    std::string image = f.Build(&layout);
    if (!c.descriptor) {
      PutU32(image, layout.localHeader[0] + 14, 0);
      PutU32(image, layout.localHeader[0] + 18, 0);
      PutU32(image, layout.localHeader[0] + 22, 0);
    }
    ScopedReader r(image);
    ASSERT_TRUE(StreamOpens(r));
    ReadLog log = ReadAll(r.get());
    EXPECT_TRUE(log.bytes == data);
    EXPECT_EQ(log.counts.back(), 0);
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);

    GoToNextEntry(r.get());
    ASSERT_EQ(OpenEntryStream(r.get()), ZS_OK);
    EXPECT_TRUE(ReadAll(r.get()).bytes == after);
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
  }
}

// The data follows the LOCAL name and extra field; a central extra field of
// another length must not shift where the stream starts reading.
TEST(EntryStream, DataPositionComesFromTheLocalHeaderLengths) {
  const std::string data = SampleData(20000, 12);
  for (uint16_t method : {0, 8}) {
    SCOPED_TRACE(MethodName(method));
    FixtureEntry e = MakeEntry("x.bin", data, method);
    e.localExtra = ExtraRecord(0xCAFE, std::string(13, 'L'));   // 17 bytes
    e.centralExtra = ExtraRecord(0xCAFE, std::string(5, 'C'));  // 9 bytes
    ScopedReader r(OneEntryImage(e));
    ASSERT_TRUE(StreamOpens(r));
    ReadLog log = ReadAll(r.get());
    EXPECT_TRUE(log.bytes == data);
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
  }
}

// A stored entry whose stated compressed size is below its size runs out of
// bytes: the reader returns what there was, then the end, and never waits.
TEST(EntryStream, StoredEntryShortOfItsSizeEndsWhenItsBytesRunOut) {
  const std::string data = SampleData(1000, 13);
  for (unsigned length : {16384u, 100u}) {
    SCOPED_TRACE(length);
    FixtureEntry e = MakeEntry("short.bin", data, 0);
    e.compressedSize = 600;
    ScopedReader r(OneEntryImage(e));
    ASSERT_TRUE(StreamOpens(r));
    ReadLog log = ReadAll(r.get(), length, 50);
    EXPECT_EQ(log.counts.back(), 0);
    EXPECT_TRUE(log.bytes == data.substr(0, 600));
    char more[10];
    EXPECT_EQ(ReadEntryStream(r.get(), more, sizeof more), 0);
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
  }
}

// Entry data that the image does not hold in full: the refill that comes
// back short is a read error, reported by the read that needed it, and the
// close that follows has no complete entry to check.
TEST(EntryStream, RefillBeyondTheEndOfTheImageIsAReadError) {
  const std::string data = SampleData(40000, 14);
  for (uint16_t method : {0, 8}) {
    SCOPED_TRACE(MethodName(method));
    FixtureEntry e = MakeEntry("cut.bin", data, method);
    e.compressedSize = 140000;
    if (method == 0) e.uncompressedSize = 140000;
    ScopedReader r(OneEntryImage(e));
    ASSERT_TRUE(StreamOpens(r));
    ReadLog log = ReadAll(r.get());
    EXPECT_EQ(log.counts.back(), ZS_IO_ERROR);
    if (method == 0) {
      EXPECT_EQ(log.counts, (std::vector<int>{16384, 16384, ZS_IO_ERROR}));
    }
    EXPECT_TRUE(log.bytes == data.substr(0, log.bytes.size()));
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
  }
}

TEST(EntryStream, CallsWithoutAReaderOrAnOpenStreamAreRefused) {
  char buffer[16];
  EXPECT_EQ(OpenEntryStream(nullptr), ZS_BAD_ARGUMENT);
  EXPECT_EQ(ReadEntryStream(nullptr, buffer, sizeof buffer), ZS_BAD_ARGUMENT);
  EXPECT_EQ(CloseEntryStream(nullptr), ZS_BAD_ARGUMENT);

  ScopedReader r(OneEntryImage(MakeEntry("a.bin", "some bytes", 8)));
  ASSERT_NE(r.get(), nullptr);
  EXPECT_EQ(ReadEntryStream(r.get(), buffer, sizeof buffer), ZS_BAD_ARGUMENT);
  EXPECT_EQ(CloseEntryStream(r.get()), ZS_BAD_ARGUMENT);
  ASSERT_EQ(OpenEntryStream(r.get()), ZS_OK);
  EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
  EXPECT_EQ(CloseEntryStream(r.get()), ZS_BAD_ARGUMENT) << "second close";
  EXPECT_EQ(ReadEntryStream(r.get(), buffer, sizeof buffer), ZS_BAD_ARGUMENT) << "read after close";
}

// A reader whose current central record could not be read has no entry to
// open, whether that record is the first or one reached by a step.
TEST(EntryStream, OpenOnAFailedRecordIsRefused) {
  for (int bad : {0, 1}) {
    SCOPED_TRACE(bad);
    ZipFixture f;
    f.entries.push_back(MakeEntry("a.bin", "first", 0));
    f.entries.push_back(MakeEntry("b.bin", "second", 0));
    FixtureLayout layout;
    std::string image = f.Build(&layout);
    PutU32(image, layout.centralRecord[bad], 0x02014B51);
    ScopedReader r(image);
    ASSERT_NE(r.get(), nullptr);
    if (bad == 1) GoToNextEntry(r.get());
    ASSERT_FALSE(r.get()->currentEntryValid);
    EXPECT_EQ(OpenEntryStream(r.get()), ZS_BAD_ARGUMENT);
    char buffer[16];
    EXPECT_EQ(ReadEntryStream(r.get(), buffer, sizeof buffer), ZS_BAD_ARGUMENT) << "no stream was made";
  }
}

TEST(EntryStream, OpenOnABadLocalHeaderIsRefused) {
  const std::string data = "local header trouble";
  struct Case {
    const char *what;
    void (*damage)(std::string &image, const FixtureLayout &layout);
  } cases[] = {
      {"wrong local signature",
       [](std::string &image, const FixtureLayout &layout) { PutU32(image, layout.localHeader[0], 0x04034B51); }},
      {"local header cut off by the end of the image",
       // The central record points into the archive comment, which holds a
       // local signature and then ends.
       [](std::string &image, const FixtureLayout &layout) { PutU32(image, layout.centralRecord[0] + 42, layout.endRecord + 22); }},
      {"local name length differs",
       [](std::string &image, const FixtureLayout &layout) { PutU16(image, layout.localHeader[0] + 26, 4); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ZipFixture f;
    f.entries.push_back(MakeEntry("lh.bin", data, 8));
    f.archiveComment = std::string("PK\x03\x04\x14\x00", 6);
    FixtureLayout layout;
    std::string image = f.Build(&layout);
    c.damage(image, layout);
    ScopedReader r(image);
    ASSERT_NE(r.get(), nullptr);
    ASSERT_TRUE(r.get()->currentEntryValid);
    EXPECT_EQ(OpenEntryStream(r.get()), ZS_BAD_ARCHIVE);
    char buffer[16];
    EXPECT_EQ(ReadEntryStream(r.get(), buffer, sizeof buffer), ZS_BAD_ARGUMENT);
    EXPECT_EQ(CloseEntryStream(r.get()), ZS_BAD_ARGUMENT);
  }
}

// Each refill positions the source anew, so moving the reader to the next
// record mid-read does not disturb the open entry; opening again starts the
// current entry from its first byte.
TEST(EntryStream, OpenStreamOutlivesReaderStepsAndReopenRestarts) {
  const std::string first = SampleData(40000, 20);
  const std::string second = SampleData(30000, 21);
  ZipFixture f;
  f.entries.push_back(MakeEntry("one.bin", first, 8));
  f.entries.push_back(MakeEntry("two.bin", second, 0));
  ScopedReader r(f.Build());
  ASSERT_NE(r.get(), nullptr);

  ASSERT_EQ(OpenEntryStream(r.get()), ZS_OK);
  std::string got(16384, '\0');
  ASSERT_EQ(ReadEntryStream(r.get(), &got[0], 16384), 16384);
  GoToNextEntry(r.get());
  got += ReadAll(r.get()).bytes;
  EXPECT_TRUE(got == first);
  EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);

  ASSERT_EQ(OpenEntryStream(r.get()), ZS_OK);
  char part[5000];
  ASSERT_EQ(ReadEntryStream(r.get(), part, sizeof part), (int)sizeof part);
  ASSERT_EQ(OpenEntryStream(r.get()), ZS_OK);
  EXPECT_TRUE(ReadAll(r.get()).bytes == second);
  EXPECT_EQ(CloseEntryStream(r.get()), ZS_OK);
}

// Closing the reader with an entry still open tears the stream down with it
// (inflate state and buffers included); repeated many times, a stream that
// is not freed or freed twice shows up as a crash or an exhausted heap.
TEST(EntryStream, ClosingTheReaderClosesAnOpenStream) {
  const std::string image = OneEntryImage(MakeEntry("open.bin", SampleData(40000, 30), 8));
  for (int round = 0; round < 300; round++) {
    ScopedReader r(image);
    ASSERT_TRUE(StreamOpens(r));
    char part[100];
    ASSERT_EQ(ReadEntryStream(r.get(), part, sizeof part), (int)sizeof part);
    r.Close();
  }
}

}  // namespace
