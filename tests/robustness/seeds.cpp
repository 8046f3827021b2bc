#include "seeds.h"

#include <sstream>

#include "test_files.h"
#include "zip_fixture.h"

namespace {

const int32_t kTime = 1533536566;  // 2018-08-06 06:22:46 UTC

Seed FromFixture(const std::string &name, const ZipFixture &fixture) {
  Seed seed;
  seed.name = name;
  seed.image = fixture.Build();
  for (const FixtureEntry &e : fixture.entries)
    if (!(e.externalAttributes & 0x10) && !(e.externalAttributes & 0x40000000)) seed.originals[e.name] = e.data;
  return seed;
}

FixtureEntry Directory(const std::string &name) {
  FixtureEntry e = MakeEntry(name, "", 0);
  e.externalAttributes = 0x41ED0010;
  return e;
}

// Bytes before the archive, an archive comment, both methods, a directory,
// the extra fields the reader looks into, a data descriptor.
Seed Mixed() {
  ZipFixture z;
  z.prefix = "#!/bin/sh\n# not part of the archive\n";
  z.archiveComment = "mixed seed: prefix, comment, descriptor";
  z.entries.push_back(Directory("docs/"));
  FixtureEntry stored = MakeEntry("docs/stored.txt", SampleData(300, 2), 0);
  stored.localExtra = ExtraRecord(0xCAFE, "seven77") + UtExtra(7, {kTime, kTime + 1, kTime + 2});
  stored.centralExtra = UtExtra(1, {kTime});
  stored.comment = "entry comment";
  z.entries.push_back(stored);
  FixtureEntry deflated = MakeEntry("deflated.bin", SampleData(3000, 3), 8);
  deflated.localExtra = UtExtra(3, {kTime, kTime - 5});
  z.entries.push_back(deflated);
  FixtureEntry descriptor = MakeEntry("descriptor.bin", SampleData(500, 4), 8);
  descriptor.dataDescriptor = true;
  z.entries.push_back(descriptor);
  FixtureEntry empty = MakeEntry("empty.txt", "", 0);
  empty.externalAttributes = 0;  // read-only
  z.entries.push_back(empty);
  FixtureEntry lead = MakeEntry("/lead.txt", "a leading slash\n", 8);
  lead.localExtra = UtExtra(7, {kTime});  // announces three times, holds one
  z.entries.push_back(lead);
  return FromFixture("fx_mixed", z);
}

// Items larger than the 16 KiB input and copy buffers.
Seed Large() {
  ZipFixture z;
  z.entries.push_back(MakeEntry("stored17k.bin", SampleData(17000, 5), 0));
  FixtureEntry deflated = MakeEntry("deflated40k.bin", SampleData(40000, 6), 8);
  deflated.localExtra = UtExtra(1, {kTime});
  z.entries.push_back(deflated);
  return FromFixture("fx_large", z);
}

// A directory name one byte away from leaving the root, a stored item
// with a data descriptor, an empty deflated item with every attribute bit.
Seed Edges() {
  ZipFixture z;
  // One byte away from "../up/": '-' + 1 is '.'.
  z.entries.push_back(Directory("-./up/"));
  FixtureEntry storedDescriptor = MakeEntry("stored_descriptor.bin", SampleData(200, 8), 0);
  storedDescriptor.dataDescriptor = true;
  storedDescriptor.localExtra = UtExtra(0, {});
  z.entries.push_back(storedDescriptor);
  FixtureEntry emptyDeflated = MakeEntry("a", "", 8);
  emptyDeflated.externalAttributes = 0x00000027;
  z.entries.push_back(emptyDeflated);
  return FromFixture("fx_edges", z);
}

// Seeds of one item each, so that mutating each of their many header bytes
// stays cheap: a "UT" record behind a record of another ID whose data size
// needs both bytes, followed by a second "UT" record; and the longest name
// a record holds.
Seed ExtraFields() {
  ZipFixture z;
  FixtureEntry behind = MakeEntry("x/behind.txt", SampleData(90, 7), 8);
  behind.localExtra = ExtraRecord(0x7875, std::string(300, '\x01')) + UtExtra(5, {kTime, kTime + 9}) +
                      UtExtra(7, {1, 2, 3});
  z.entries.push_back(behind);
  return FromFixture("fx_extra_fields", z);
}

Seed LongName() {
  ZipFixture z;
  z.entries.push_back(MakeEntry(std::string(258, 'n'), "the longest name that fits\n", 0));
  return FromFixture("fx_long_name", z);
}

// Small and without a prefix, so that every front cut is cheap and the
// records' offsets point before the image as soon as a byte is gone: a
// stored item, a directory, a deflated item with "UT" fields in both
// headers and an entry comment, and an archive comment.
Seed Small() {
  ZipFixture z;
  z.entries.push_back(MakeEntry("a.txt", "hello, stored", 0));
  z.entries.push_back(Directory("dir/"));
  FixtureEntry deflated = MakeEntry("dir/b.bin", SampleData(200), 8);
  deflated.localExtra = UtExtra(7, {kTime, 1000000000, 1234567890});
  deflated.centralExtra = UtExtra(1, {kTime});
  deflated.comment = "c";
  z.entries.push_back(deflated);
  z.archiveComment = "zz";
  return FromFixture("fx_small", z);
}

std::vector<Seed> ToolSeeds(bool *found) {
  std::vector<Seed> seeds;
  std::wstring dir = BuildDir() + L"tests\\robustness\\seeds\\";
  std::string manifest;
  *found = ReadWholeFile(dir + L"manifest.txt", &manifest);
  if (!*found) return seeds;
  std::istringstream lines(manifest);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string archive, entry, input;
    if (!std::getline(fields, archive, '\t') || !std::getline(fields, entry, '\t') || !std::getline(fields, input)) continue;
    if (seeds.empty() || seeds.back().name != archive) {
      Seed seed;
      seed.name = archive;
      ReadWholeFile(dir + Widen(archive), &seed.image);
      seeds.push_back(seed);
    }
    for (char &c : input)
      if (c == '/') c = '\\';
    ReadWholeFile(dir + Widen(input), &seeds.back().originals[entry]);
  }
  return seeds;
}

struct SeedSet {
  std::vector<Seed> seeds;
  bool toolSeedsFound = false;
};

const SeedSet &Seeds() {
  static SeedSet set = [] {
    SeedSet s;
    s.seeds = {Mixed(), Large(), Edges(), ExtraFields(), LongName(), Small()};
    for (Seed &seed : ToolSeeds(&s.toolSeedsFound)) s.seeds.push_back(seed);
    return s;
  }();
  return set;
}

}  // namespace

const std::vector<Seed> &AllSeeds() { return Seeds().seeds; }

bool ToolSeedsFound() { return Seeds().toolSeedsFound; }

const Seed *FindSeed(const std::string &name) {
  for (const Seed &seed : AllSeeds())
    if (seed.name == name) return &seed;
  return nullptr;
}

std::vector<std::string> SeedNames() {
  std::vector<std::string> names;
  for (const Seed &seed : AllSeeds()) names.push_back(seed.name);
  return names;
}
