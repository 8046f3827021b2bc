// RtAlloc and RtFree over guard pages (see guard_heap.h).
#include "guard_heap.h"

#include <string.h>
#include <windows.h>

#include <deque>
#include <map>

#include "case_monitor.h"
#include "rt.h"

namespace {

// Freed regions kept inaccessible before their address space is given back.
// Each region takes a 64 KiB reservation, so this holds 32 MiB.
const size_t kQuarantine = 512;

struct Block {
  unsigned char *base;  // the region's reservation
  unsigned size;
};

struct Heap {
  std::map<void *, Block> live;
  std::deque<unsigned char *> quarantine;
  size_t allocations = 0;
  size_t failCountdown = 0;
};

// C runtime blocks taken while the code under test runs: zlib's inflate
// state and window. Kept in a fixed table, since the table must not call
// malloc itself.
const int kMallocSlots = 64;
struct MallocWatch {
  int depth = 0;  // > 0: mallocs come from the code under test
  void *blocks[kMallocSlots] = {};
  unsigned char *bases[kMallocSlots] = {};
  size_t live = 0;
  size_t failCountdown = 0;
  size_t allocations = 0;
} g_malloc;

Heap &TheHeap() {
  static Heap heap;
  return heap;
}

size_t PageSize() {
  static size_t page = 0;
  if (!page) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page = info.dwPageSize;
  }
  return page;
}

size_t PagesFor(size_t bytes) { return (bytes + PageSize() - 1) / PageSize(); }

// A block of size bytes that ends exactly at an inaccessible page.
unsigned char *GuardedBlock(size_t size, unsigned char **base) {
  size_t page = PageSize();
  // A zero-byte block still gets a page in front of the guard, and its
  // address is the guard page itself: any read of it faults.
  size_t dataPages = size ? PagesFor(size) : 1;
  *base = (unsigned char *)VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!*base) ReportAndExit("guard heap: VirtualAlloc failed (address space exhausted?)");
  DWORD old;
  if (!VirtualProtect(*base + dataPages * page, page, PAGE_NOACCESS, &old))
    ReportAndExit("guard heap: VirtualProtect of the guard page failed");
  unsigned char *block = *base + dataPages * page - size;
  memset(block, 0xA5, size);
  return block;
}

// Decommitted pages of a kept reservation: a later access faults, and the
// address is not handed out again while the region sits in quarantine.
void Retire(unsigned char *base) {
  Heap &heap = TheHeap();
  VirtualFree(base, 0, MEM_DECOMMIT);
  heap.quarantine.push_back(base);
  if (heap.quarantine.size() > kQuarantine) {
    VirtualFree(heap.quarantine.front(), 0, MEM_RELEASE);
    heap.quarantine.pop_front();
  }
}

// The heap's own bookkeeping allocates: none of that counts as the code
// under test's.
struct WatchPause {
  int saved;
  WatchPause() : saved(g_malloc.depth) { g_malloc.depth = 0; }
  ~WatchPause() { g_malloc.depth = saved; }
};

}  // namespace

void *RtAlloc(unsigned size) {
  WatchPause pause;
  Heap &heap = TheHeap();
  if (heap.failCountdown && --heap.failCountdown == 0) return nullptr;
  unsigned char *base;
  unsigned char *block = GuardedBlock(size, &base);
  heap.live[block] = Block{base, size};
  heap.allocations++;
  return block;
}

void RtFree(void *block) {
  if (!block) return;
  WatchPause pause;
  Heap &heap = TheHeap();
  auto it = heap.live.find(block);
  if (it == heap.live.end()) ReportAndExit("RtFree of a block RtAlloc did not hand out, or freed twice");
  unsigned char *base = it->second.base;
  heap.live.erase(it);
  Retire(base);
}

// The C runtime's malloc and free, wrapped at link time (--wrap): while the
// code under test runs, blocks come from guard pages too and are counted.
extern "C" void *__real_malloc(size_t size);
extern "C" void __real_free(void *block);

extern "C" void *__wrap_malloc(size_t size) {
  if (g_malloc.depth == 0) return __real_malloc(size);
  if (g_malloc.failCountdown && --g_malloc.failCountdown == 0) return nullptr;
  for (int i = 0; i < kMallocSlots; i++) {
    if (g_malloc.blocks[i]) continue;
    WatchPause pause;
    // Rounded up to 16 bytes, the alignment malloc promises.
    unsigned char *base;
    void *block = GuardedBlock((size + 15) & ~(size_t)15, &base);
    g_malloc.blocks[i] = block;
    g_malloc.bases[i] = base;
    g_malloc.live++;
    g_malloc.allocations++;
    return block;
  }
  ReportAndExit("guard heap: more than 64 C runtime blocks live in the code under test");
}

extern "C" void __wrap_free(void *block) {
  if (!block) return;
  if (g_malloc.live) {
    for (int i = 0; i < kMallocSlots; i++) {
      if (g_malloc.blocks[i] != block) continue;
      WatchPause pause;
      g_malloc.blocks[i] = nullptr;
      g_malloc.live--;
      Retire(g_malloc.bases[i]);
      return;
    }
  }
  __real_free(block);
}

WatchCodeUnderTest::WatchCodeUnderTest() { g_malloc.depth++; }

WatchCodeUnderTest::~WatchCodeUnderTest() { g_malloc.depth--; }

size_t GuardHeapLiveMallocBlocks() { return g_malloc.live; }

size_t GuardHeapMallocs() { return g_malloc.allocations; }

void GuardHeapFailMalloc(size_t n) { g_malloc.failCountdown = n; }

size_t GuardHeapLiveBlocks() { return TheHeap().live.size(); }

size_t GuardHeapAllocations() { return TheHeap().allocations; }

void GuardHeapFailAllocation(size_t n) { TheHeap().failCountdown = n; }

GuardedImage::GuardedImage(size_t capacity) {
  size_t page = PageSize();
  dataSize_ = PagesFor(capacity ? capacity : 1) * page;
  base_ = (unsigned char *)VirtualAlloc(nullptr, dataSize_ + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!base_) ReportAndExit("GuardedImage: VirtualAlloc failed");
  DWORD old;
  if (!VirtualProtect(base_ + dataSize_, page, PAGE_NOACCESS, &old))
    ReportAndExit("GuardedImage: VirtualProtect of the guard page failed");
}

GuardedImage::~GuardedImage() { VirtualFree(base_, 0, MEM_RELEASE); }

const unsigned char *GuardedImage::Place(const std::string &bytes) { return Place(bytes, bytes.size()); }

const unsigned char *GuardedImage::Place(const std::string &bytes, size_t length) {
  if (length > dataSize_ || length > bytes.size()) ReportAndExit("GuardedImage: image larger than the region");
  DWORD old;
  // Writable for the copy, then read-only like the resource section the
  // launcher reads its payload from: a write into the image faults too.
  VirtualProtect(base_, dataSize_, PAGE_READWRITE, &old);
  unsigned char *start = base_ + dataSize_ - length;
  memcpy(start, bytes.data(), length);
  VirtualProtect(base_, dataSize_, PAGE_READONLY, &old);
  return start;
}
