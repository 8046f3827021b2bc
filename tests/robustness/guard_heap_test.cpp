// The instruments of the mutation suite, checked on their own: a suite that
// runs 100,000 cases and finds nothing is only worth something if an
// overrun of one byte really faults, a use after free really faults, a hang
// really ends the run, and the reader's memory really comes from the guard
// heap (zlib's blocks included). Each fault is provoked in a child process (a death test) and must
// end it through the fault reporter, with the case named.
#include <stdlib.h>
#include <windows.h>

#include "case_monitor.h"
#include "guard_heap.h"
#include "gtest/gtest.h"
#include "rt.h"
#include "test_files.h"
#include "unzip.h"
#include "zip_fixture.h"
#include "zip_reader.h"

namespace {

const char kFault[] = "FAULT: exception C0000005 .* in case: guard probe";

unsigned char Touch(const volatile unsigned char *p) { return *p; }

void Provoke(void (*probe)()) {
  InstallFaultReporter();
  StartCase("guard probe");
  probe();
  EndCase();
}

TEST(GuardHeapDeathTest, ReadOneBytePastABlockFaults) {
  EXPECT_EXIT(Provoke([] {
                unsigned char *p = (unsigned char *)RtAlloc(13);
                Touch(p + 13);
              }),
              ::testing::ExitedWithCode(kFaultExitCode), kFault);
}

TEST(GuardHeapDeathTest, WriteOneBytePastABlockFaults) {
  EXPECT_EXIT(Provoke([] {
                unsigned char *p = (unsigned char *)RtAlloc(4096);
                ((volatile unsigned char *)p)[4096] = 1;
              }),
              ::testing::ExitedWithCode(kFaultExitCode), "FAULT: .* write of address .* in case: guard probe");
}

TEST(GuardHeapDeathTest, ReadOfAFreedBlockFaults) {
  EXPECT_EXIT(Provoke([] {
                unsigned char *p = (unsigned char *)RtAlloc(64);
                RtFree(p);
                Touch(p);
              }),
              ::testing::ExitedWithCode(kFaultExitCode), kFault);
}

TEST(GuardHeapDeathTest, ReadOfAnEmptyBlockFaults) {
  EXPECT_EXIT(Provoke([] { Touch((unsigned char *)RtAlloc(0)); }), ::testing::ExitedWithCode(kFaultExitCode), kFault);
}

TEST(GuardHeapDeathTest, ReadPastAMallocBlockOfTheCodeUnderTestFaults) {
  EXPECT_EXIT(Provoke([] {
                WatchCodeUnderTest watch;
                volatile size_t size = 32;  // hides the overrun from the compiler
                unsigned char *p = (unsigned char *)malloc(size);
                Touch(p + size);
              }),
              ::testing::ExitedWithCode(kFaultExitCode), kFault);
}

TEST(GuardHeapDeathTest, FreeingTwiceEndsTheRun) {
  EXPECT_EXIT(Provoke([] {
                void *p = RtAlloc(8);
                RtFree(p);
                RtFree(p);
              }),
              ::testing::ExitedWithCode(kAbortExitCode), "ABORT: RtFree .*case: guard probe");
}

TEST(GuardHeapDeathTest, ReadOnePastTheImageFaults) {
  EXPECT_EXIT(Provoke([] {
                GuardedImage image(10000);
                const unsigned char *p = image.Place(std::string(5000, 'z'));
                Touch(p + 5000);
              }),
              ::testing::ExitedWithCode(kFaultExitCode), kFault);
}

TEST(GuardHeapDeathTest, WriteIntoTheImageFaults) {
  EXPECT_EXIT(Provoke([] {
                GuardedImage image(100);
                const unsigned char *p = image.Place("PK");
                *(volatile unsigned char *)p = 0;
              }),
              ::testing::ExitedWithCode(kFaultExitCode), "FAULT: .* write of address .* in case: guard probe");
}

TEST(GuardHeapDeathTest, WatchdogEndsACaseThatNeverReturns) {
  EXPECT_EXIT(
      {
        StartWatchdog(1);
        StartCase("endless probe");
        for (;;) Sleep(100);
      },
      ::testing::ExitedWithCode(kHangExitCode), "HANG: no progress for 1 s in case: endless probe");
}

TEST(GuardHeap, BlocksEndAtTheGuardAndHoldTheirBytes) {
  for (unsigned size : {1u, 13u, 4095u, 4096u, 4097u, 16384u}) {
    unsigned char *p = (unsigned char *)RtAlloc(size);
    ASSERT_NE(p, nullptr);
    MEMORY_BASIC_INFORMATION after;
    ASSERT_NE(VirtualQuery(p + size, &after, sizeof after), 0u);
    EXPECT_EQ(after.Protect, (DWORD)PAGE_NOACCESS) << size;
    for (unsigned i = 0; i < size; i++) p[i] = (unsigned char)i;
    EXPECT_EQ(Touch(p + size - 1), (unsigned char)(size - 1));
    RtFree(p);
  }
  EXPECT_EQ(GuardHeapLiveBlocks(), 0u);
}

// Every placement in the one region ends at the guard, whatever its size:
// empty, shorter than a page, a page exactly and one byte either side of
// it, more than two pages; smaller placements after larger ones included.
TEST(GuardHeap, ImageEndsAtTheGuardAndIsReadOnly) {
  GuardedImage image(9000);
  for (size_t size : {8193u, 0u, 1u, 4095u, 4096u, 4097u}) {
    SCOPED_TRACE(size);
    std::string bytes(size, 'q');
    const unsigned char *p = image.Place(bytes);
    EXPECT_EQ(std::string((const char *)p, bytes.size()), bytes);
    MEMORY_BASIC_INFORMATION info;
    ASSERT_NE(VirtualQuery(p + bytes.size(), &info, sizeof info), 0u);
    EXPECT_EQ(info.Protect, (DWORD)PAGE_NOACCESS);
    if (size) {
      ASSERT_NE(VirtualQuery(p, &info, sizeof info), 0u);
      EXPECT_EQ(info.Protect, (DWORD)PAGE_READONLY);
      ASSERT_NE(VirtualQuery(p + size - 1, &info, sizeof info), 0u);
      EXPECT_EQ(info.Protect, (DWORD)PAGE_READONLY);
    }
  }
}

// The linker takes RtAlloc from this program, not from the runtime library:
// the reader's blocks are guarded, counted and all given back on close.
TEST(GuardHeap, TheReaderAllocatesThroughItAndGivesAllBack) {
  ZipFixture z;
  FixtureEntry e;
  e.name = "a.txt";
  e.data = "abc";
  z.entries.push_back(e);
  std::string archive = z.Build();
  GuardedImage image(archive.size());
  size_t before = GuardHeapAllocations();
  ZipHandle *h = OpenZipBuffer(image.Place(archive), (unsigned)archive.size());
  ASSERT_NE(h, nullptr);
  EXPECT_GT(GuardHeapAllocations(), before);
  EXPECT_GT(GuardHeapLiveBlocks(), 0u);
  ZipItemInfo info;
  EXPECT_EQ(GetZipItemInfo(h, 0, &info), UZ_OK);
  EXPECT_EQ(CloseZipArchive(h), UZ_OK);
  EXPECT_EQ(GuardHeapLiveBlocks(), 0u);
}

TEST(GuardHeap, AnInjectedFailureReachesTheReader) {
  ZipFixture z;
  z.entries.push_back(FixtureEntry());
  std::string archive = z.Build();
  GuardedImage image(archive.size());
  GuardHeapFailAllocation(1);  // the archive object itself
  EXPECT_EQ(OpenZipBuffer(image.Place(archive), (unsigned)archive.size()), nullptr);
  EXPECT_EQ(LastZipResult, ZS_NO_MEMORY);
  EXPECT_EQ(GuardHeapLiveBlocks(), 0u);
  ZipHandle *h = OpenZipBuffer(image.Place(archive), (unsigned)archive.size());
  ASSERT_NE(h, nullptr);  // only the one allocation failed
  CloseZipArchive(h);
}

// zlib takes its inflate state from malloc: inside the reader's calls those
// blocks are guarded and counted too, and a failure can be injected there.
TEST(GuardHeap, ZlibBlocksAreWatchedAndTheirFailureReachesTheReader) {
  ZipFixture z;
  FixtureEntry e;
  e.name = "deflated.txt";
  e.data = SampleData(5000);
  z.entries.push_back(e);
  std::string archive = z.Build();
  GuardedImage image(archive.size());
  TempDir dir;
  std::wstring target = dir / L"out.txt";
  ZipHandle *h = OpenZipBuffer(image.Place(archive), (unsigned)archive.size());
  ASSERT_NE(h, nullptr);
  size_t before = GuardHeapMallocs();
  {
    WatchCodeUnderTest watch;
    EXPECT_EQ(UnZipItem(h, 0, target.c_str()), UZ_OK);
  }
  EXPECT_GT(GuardHeapMallocs(), before);
  EXPECT_EQ(GuardHeapLiveMallocBlocks(), 0u);
  std::string written;
  EXPECT_TRUE(ReadWholeFile(target, &written));
  EXPECT_EQ(written, e.data);

  GuardHeapFailMalloc(1);  // the inflate state: the inflater never gets ready
  {
    WatchCodeUnderTest watch;
    EXPECT_EQ(UnZipItem(h, 0, target.c_str()), UZ_FILE_WRITE_FAILED);
  }
  GuardHeapFailMalloc(0);
  EXPECT_FALSE(FileExists(target));
  EXPECT_EQ(GuardHeapLiveMallocBlocks(), 0u);
  EXPECT_EQ(CloseZipArchive(h), UZ_OK);
}

}  // namespace
