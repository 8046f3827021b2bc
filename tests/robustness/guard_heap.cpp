// RtAlloc and RtFree over guard pages (see guard_heap.h).
#include "guard_heap.h"

#include <string.h>
#include <windows.h>

#include <deque>
#include <map>
#include <vector>

#include "case_monitor.h"
#include "rt.h"

namespace {

// A reservation: data pages, then one inaccessible guard page.
struct Region {
  unsigned char *base;
  size_t dataPages;
};

// Freed regions stay inaccessible in a quarantine of this many before they
// can be handed out again; at about two pages each, some 4 MiB.
const size_t kQuarantine = 512;
// Regions past the quarantine kept for reuse, per size: reusing a region
// costs one protection change where a new one costs an allocation, a
// protection change and fresh page faults.
const size_t kPoolPerSize = 64;

struct Heap {
  std::map<void *, Region> live;
  std::deque<Region> quarantine;
  std::map<size_t, std::vector<unsigned char *>> pool;  // by data pages
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
  Region regions[kMallocSlots] = {};
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
unsigned char *GuardedBlock(size_t size, Region *region) {
  Heap &heap = TheHeap();
  size_t page = PageSize();
  // A zero-byte block still gets a page in front of the guard, and its
  // address is the guard page itself: any read of it faults.
  region->dataPages = size ? PagesFor(size) : 1;
  std::vector<unsigned char *> &reusable = heap.pool[region->dataPages];
  DWORD old;
  if (!reusable.empty()) {
    region->base = reusable.back();
    reusable.pop_back();
    if (!VirtualProtect(region->base, region->dataPages * page, PAGE_READWRITE, &old))
      ReportAndExit("guard heap: VirtualProtect of a reused region failed");
  } else {
    region->base = (unsigned char *)VirtualAlloc(nullptr, (region->dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT,
                                                 PAGE_READWRITE);
    if (!region->base) ReportAndExit("guard heap: VirtualAlloc failed (address space exhausted?)");
    if (!VirtualProtect(region->base + region->dataPages * page, page, PAGE_NOACCESS, &old))
      ReportAndExit("guard heap: VirtualProtect of the guard page failed");
  }
  unsigned char *block = region->base + region->dataPages * page - size;
  memset(block, 0xA5, size);
  return block;
}

// A freed region becomes inaccessible at once, so a use after free faults,
// and is not handed out again while it sits in quarantine.
void Retire(const Region &region) {
  Heap &heap = TheHeap();
  DWORD old;
  if (!VirtualProtect(region.base, region.dataPages * PageSize(), PAGE_NOACCESS, &old))
    ReportAndExit("guard heap: VirtualProtect of a freed region failed");
  heap.quarantine.push_back(region);
  if (heap.quarantine.size() <= kQuarantine) return;
  Region oldest = heap.quarantine.front();
  heap.quarantine.pop_front();
  std::vector<unsigned char *> &reusable = heap.pool[oldest.dataPages];
  if (reusable.size() < kPoolPerSize) reusable.push_back(oldest.base);
  else VirtualFree(oldest.base, 0, MEM_RELEASE);
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
  Region region;
  unsigned char *block = GuardedBlock(size, &region);
  heap.live[block] = region;
  heap.allocations++;
  return block;
}

void RtFree(void *block) {
  if (!block) return;
  WatchPause pause;
  Heap &heap = TheHeap();
  auto it = heap.live.find(block);
  if (it == heap.live.end()) ReportAndExit("RtFree of a block RtAlloc did not hand out, or freed twice");
  Region region = it->second;
  heap.live.erase(it);
  Retire(region);
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
    void *block = GuardedBlock((size + 15) & ~(size_t)15, &g_malloc.regions[i]);
    g_malloc.blocks[i] = block;
    g_malloc.live++;
    g_malloc.allocations++;
    return block;
  }
  // The table is full only when blocks leak case after case: the leak is
  // reported by the cases, and the run goes on with plain blocks.
  return __real_malloc(size);
}

extern "C" void __wrap_free(void *block) {
  if (!block) return;
  if (g_malloc.live) {
    for (int i = 0; i < kMallocSlots; i++) {
      if (g_malloc.blocks[i] != block) continue;
      WatchPause pause;
      g_malloc.blocks[i] = nullptr;
      g_malloc.live--;
      Retire(g_malloc.regions[i]);
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
