// Guard-page memory for the robustness tests.
//
// guard_heap.cpp defines RtAlloc and RtFree for the test programs that link
// it. Because the programs define them themselves, the linker never pulls
// runtime/heap.cpp out of librt.a: the archive reader's own allocations come
// here, while the product keeps its ordinary heap.
//
// Every block ends exactly where an inaccessible page begins, so a read or
// write one byte past the end faults at once. Blocks are filled with 0xA5,
// so code that reads memory it never wrote sees garbage rather than zeros. A
// freed block's pages are decommitted and kept reserved for a while, so a
// use after free faults too. Double and foreign frees end the process with
// a message. Single-threaded: only the thread that runs the cases allocates.
#pragma once

#include <stddef.h>

#include <string>

// The C runtime's malloc and free are wrapped at link time as well
// (-Wl,--wrap=malloc,--wrap=free): while a WatchCodeUnderTest object lives,
// malloc hands out guarded blocks the same way and counts them. The archive
// reader itself never calls malloc, but zlib takes its inflate state and
// window from it.

// RtAlloc blocks handed out and not yet freed.
size_t GuardHeapLiveBlocks();
// RtAlloc calls that returned a block, since the program started.
size_t GuardHeapAllocations();
// Makes the n-th RtAlloc call from now (1 = the next one) return null;
// 0 cancels a pending failure.
void GuardHeapFailAllocation(size_t n);

// Marks a call into the code under test: mallocs made meanwhile are its.
struct WatchCodeUnderTest {
  WatchCodeUnderTest();
  ~WatchCodeUnderTest();
  WatchCodeUnderTest(const WatchCodeUnderTest &) = delete;
  WatchCodeUnderTest &operator=(const WatchCodeUnderTest &) = delete;
};
// Its malloc blocks not yet freed, and all it ever took.
size_t GuardHeapLiveMallocBlocks();
size_t GuardHeapMallocs();
// Makes its n-th malloc from now fail (0 cancels).
void GuardHeapFailMalloc(size_t n);

// A read-only copy of an archive image that ends exactly at a page end,
// before an inaccessible page. One region is reused for every placement.
class GuardedImage {
 public:
  explicit GuardedImage(size_t capacity);
  ~GuardedImage();
  GuardedImage(const GuardedImage &) = delete;
  GuardedImage &operator=(const GuardedImage &) = delete;

  // Copies bytes to the end of the region; the copy stays valid until the
  // next Place. An empty image is the address of the guard page itself.
  const unsigned char *Place(const std::string &bytes);
  // Places only the first length bytes of bytes.
  const unsigned char *Place(const std::string &bytes, size_t length);

 private:
  unsigned char *base_ = nullptr;
  size_t dataSize_ = 0;  // bytes before the guard page
};
