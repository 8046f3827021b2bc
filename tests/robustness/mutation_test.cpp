// Mutation suite: damaged and hostile archives through the archive reader.
//
// The payload a launcher carries can be damaged on the way or replaced, and
// the archive reader reads it in place from read-only memory: whatever the
// bytes say, the reader must not read or write outside the image or its own
// blocks, must not hang, must not leak, must not write files it reports as
// failed or outside the directory it is given, and must never hand out as
// UZ_OK bytes that are not the item's. Each seed archive (seeds.h) is
// mutated in every way below, and every mutant runs in-process through
// CaseRunner (case_runner.h), under guard pages, with a fault reporter and
// a watchdog that name the case if it faults or hangs:
//   - cut:   every truncation length;
//   - front: bytes cut off the front, so that every offset the records
//            give points before where it should: every length of a
//            prefix, every cut into the end record and the comment behind
//            it, and cuts into each other record and the entry data at the
//            positions the flips use (below); the end record then lies
//            before the directory it names, or at offset 0, or a part of
//            it is gone;
//   - byte:  every header byte (everything but entry data) set to 0, 0xFF,
//            its complement, +1 and -1;
//   - flip:  single bit flips in the entry data (all bytes of short data,
//            the first 16 and 32 more spread over longer data);
//   - name:  every byte of a directory item's name set to each character
//            with a meaning in Windows paths (/ \ . space : * ? " < > |)
//            and to 0, 0x7F, 0x80 and 0xFF;
//   - field: every size, offset, count and length field (extra-field record
//            sizes included) set to 0, 1, its maximum, and its value +-1;
//   - pair:  the same for a central size or name length together with its
//            local copy and for the two record counts of the end record, so
//            that the mutant gets past the first consistency test;
//   - nomem: the pristine seed with the n-th RtAlloc failing, for every n,
//            and with the n-th malloc of zlib failing.
// Mutants that equal an earlier one of the same seed are run once.
#include <stdio.h>
#include <windows.h>

#include <chrono>
#include <unordered_set>

#include "case_monitor.h"
#include "case_runner.h"
#include "gtest/gtest.h"
#include "seeds.h"
#include "unzip.h"
#include "zip_view.h"

namespace {

const unsigned kWatchdogSeconds = 60;

CaseRunner *g_runner = nullptr;
std::map<std::string, size_t> g_kinds;  // cases by mutation kind, over all seeds

class RunnerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    InstallFaultReporter();
    StartWatchdog(kWatchdogSeconds);
    size_t capacity = 1;
    for (const Seed &seed : AllSeeds()) capacity = std::max(capacity, seed.image.size());
    g_runner = new CaseRunner(capacity);
  }
  void TearDown() override {
    printf("[ robustness ] %s\n  by kind:", g_runner->Summary().c_str());
    for (auto &kv : g_kinds) printf(" %s=%u", kv.first.c_str(), (unsigned)kv.second);
    printf("\n");
    delete g_runner;
    g_runner = nullptr;
  }
};

::testing::Environment *const g_environment = ::testing::AddGlobalTestEnvironment(new RunnerEnvironment);

uint64_t Fnv1a(const std::string &bytes) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  return h;
}

std::string Hex(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "0x%X", v);
  return b;
}

// Runs the mutants of one seed and keeps count.
class SeedRun {
 public:
  explicit SeedRun(const Seed &seed) : seed_(seed) { seen_.insert(Fnv1a(seed.image)); }

  void Pristine() {
    Count("pristine");
    g_runner->Run(seed_.name + "/pristine", seed_.image, seed_.image.size(), &seed_.originals);
  }
  void Cut(size_t length) {
    Count("cut");
    g_runner->Run(seed_.name + "/cut=" + std::to_string(length), seed_.image, length, nullptr);
  }
  // The seed without its first `cut` bytes.
  void FrontCut(size_t cut) {
    Count("front");
    std::string rest = seed_.image.substr(cut);
    g_runner->Run(seed_.name + "/front=" + std::to_string(cut), rest, rest.size(), nullptr);
  }
  // The pristine seed with the n-th RtAlloc (or, with malloc set, the n-th
  // malloc of zlib's) failing.
  void FailAllocation(size_t n, bool malloc) {
    Count("nomem");
    Injection inject;
    (malloc ? inject.malloc : inject.rtAlloc) = n;
    g_runner->Run(seed_.name + (malloc ? "/nomem malloc#" : "/nomem RtAlloc#") + std::to_string(n), seed_.image,
                  seed_.image.size(), &seed_.originals, inject);
  }
  // A mutant of the same length as the seed; repeats are skipped.
  void Mutant(const std::string &kind, const std::string &what, const std::string &image) {
    if (!seen_.insert(Fnv1a(image)).second) return;
    Count(kind);
    g_runner->Run(seed_.name + "/" + kind + " " + what, image, image.size(), nullptr);
  }
  size_t cases() const { return cases_; }

 private:
  void Count(const std::string &kind) {
    g_kinds[kind]++;
    cases_++;
  }
  const Seed &seed_;
  std::unordered_set<uint64_t> seen_;
  size_t cases_ = 0;
};

std::vector<uint32_t> EdgeValues(uint32_t value, int width) {
  uint32_t max = width == 2 ? 0xFFFF : 0xFFFFFFFF;
  return {0, 1, max, (value + 1) & max, (value - 1) & max};
}

// Where in a range to mutate: all of a short range; the first 16 bytes and
// 32 more spread over the rest of a longer one.
std::vector<uint32_t> SampledPositions(const std::pair<uint32_t, uint32_t> &range) {
  std::vector<uint32_t> positions;
  uint32_t length = range.second - range.first;
  for (uint32_t k = 0; k < length && k < 16; k++) positions.push_back(range.first + k);
  if (length > 48) {
    for (uint32_t k = 1; k <= 32; k++) positions.push_back(range.first + 16 + (uint32_t)((uint64_t)(length - 17) * k / 32));
  } else {
    for (uint32_t k = 16; k < length; k++) positions.push_back(range.first + k);
  }
  return positions;
}

class Mutation : public ::testing::TestWithParam<std::string> {};

TEST_P(Mutation, NoFaultHangLeakOrStrayFile) {
  const Seed *seed = FindSeed(GetParam());
  ASSERT_NE(seed, nullptr);
  ASSERT_FALSE(seed->image.empty()) << "seed archive missing";
  SeedMap map;
  std::string why;
  ASSERT_TRUE(MapSeed(seed->image, &map, &why)) << why;
  const std::string &image = seed->image;
  size_t violationsBefore = g_runner->violationCount();
  auto started = std::chrono::steady_clock::now();
  SeedRun run(*seed);

  // The checks must have something to check: the pristine seed extracts
  // every item.
  run.Pristine();
  for (size_t i = 0; i < g_runner->lastUnzipResults().size(); i++)
    EXPECT_EQ(g_runner->lastUnzipResults()[i], UZ_OK) << seed->name << " item " << i;
  size_t allocations = g_runner->lastAllocations(), mallocs = g_runner->lastMallocs();
  EXPECT_GT(allocations, 0u) << "the reader's allocations do not come through the guard heap";
  for (size_t n = 1; n <= allocations; n++) run.FailAllocation(n, false);
  for (size_t n = 1; n <= mallocs; n++) run.FailAllocation(n, true);

  for (size_t length = 0; length < image.size(); length++) run.Cut(length);

  std::vector<bool> header(image.size(), false);
  for (auto &range : map.headerRanges)
    for (uint32_t o = range.first; o < range.second && o < image.size(); o++) header[o] = true;

  // Front cuts: the prefix (everything before the first header byte) and
  // the end record with its comment (the last header range) whole, the
  // other records and the entry data sampled; cutting all of it is the
  // empty image that the cuts above already gave. Past the prefix every
  // cut leaves the end record before the directory it names, which the
  // open refuses alike wherever the cut falls; only reaching the end
  // record changes what the reader finds.
  std::vector<bool> front(image.size(), false);
  for (size_t o = 0; o < image.size() && !header[o]; o++) front[o] = true;
  for (uint32_t o = map.headerRanges.back().first; o < image.size(); o++) front[o] = true;
  for (auto &range : map.headerRanges)
    for (uint32_t o : SampledPositions(range)) front[o] = true;
  for (auto &range : map.dataRanges)
    for (uint32_t o : SampledPositions(range)) front[o] = true;
  for (size_t cut = 1; cut < image.size(); cut++)
    if (front[cut]) run.FrontCut(cut);
  for (size_t o = 0; o < image.size(); o++) {
    if (!header[o]) continue;
    unsigned char x = (unsigned char)image[o];
    for (unsigned v : {0u, 0xFFu, x ^ 0xFFu, (x + 1u) & 0xFF, (x - 1u) & 0xFF}) {
      if (v == x) continue;
      std::string mutant = image;
      mutant[o] = (char)v;
      run.Mutant("byte", "@" + Hex((uint32_t)o) + "=" + Hex(v), mutant);
    }
  }

  for (auto &range : map.dataRanges) {
    for (uint32_t o : SampledPositions(range)) {
      for (int bit = 0; bit < 8; bit++) {
        std::string mutant = image;
        mutant[o] = (char)(mutant[o] ^ (1 << bit));
        run.Mutant("flip", "@" + Hex(o) + " bit " + std::to_string(bit), mutant);
      }
    }
  }

  // Directory items are created from their names: every name byte becomes
  // each character that means something in a Windows path.
  for (auto &range : map.directoryNames) {
    for (uint32_t o = range.first; o < range.second; o++) {
      for (char c : std::string("/\\. :*?\"<>|\x00\x7F\x80\xFF", 15)) {
        std::string mutant = image;
        mutant[o] = c;
        run.Mutant("name", "@" + Hex(o) + "=" + Hex((unsigned char)c), mutant);
      }
    }
  }

  for (const Field &f : map.fields) {
    for (uint32_t v : EdgeValues(ReadLe(image, f.at, f.width), f.width)) {
      std::string mutant = image;
      WriteLe(mutant, f.at, f.width, v);
      run.Mutant("field", f.label + "=" + Hex(v), mutant);
    }
  }
  for (const FieldPair &p : map.pairs) {
    for (uint32_t v : EdgeValues(ReadLe(image, p.first.at, p.first.width), p.first.width)) {
      std::string mutant = image;
      WriteLe(mutant, p.first.at, p.first.width, v);
      WriteLe(mutant, p.second.at, p.second.width, v);
      run.Mutant("pair", p.label + "=" + Hex(v), mutant);
    }
  }

  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf("[ robustness ] %-20s %7u cases in %6.1f s\n", seed->name.c_str(), (unsigned)run.cases(), seconds);
  size_t found = g_runner->violationCount() - violationsBefore;
  std::string report;
  const std::vector<std::string> &all = g_runner->violations();
  for (size_t i = 0; i < all.size(); i++)
    if (all[i].compare(0, seed->name.size() + 1, seed->name + "/") == 0) report += "\n  " + all[i];
  EXPECT_EQ(found, 0u) << "violations (the first ones):" << report;
}

INSTANTIATE_TEST_SUITE_P(Seeds, Mutation, ::testing::ValuesIn(SeedNames()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                           std::string name;
                           for (char c : info.param) name += isalnum((unsigned char)c) ? c : '_';
                           return name;
                         });

// The tool-built seeds come from the build (make_archives.py, set seeds); without them
// the suite would quietly test far less.
TEST(MutationSeeds, ToolBuiltSeedsArePresent) { EXPECT_TRUE(ToolSeedsFound()); }

}  // namespace
