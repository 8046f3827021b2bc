// The archives the robustness suite mutates.
//
// Built in code with the field-by-field writer (a prefix before the archive,
// an archive comment, directory items, "UT" fields complete and cut short,
// a record of another ID in front of "UT", a data descriptor, an empty
// item, a read-only item, a name of 258 bytes, items larger than the 16 KiB
// buffers, a small archive without a prefix), and by Info-ZIP zip, 7-Zip
// and Python's zipfile at build time (tests/support/make_archives.py, set
// seeds).
#pragma once

#include <map>
#include <string>
#include <vector>

struct Seed {
  std::string name;
  std::string image;
  std::map<std::string, std::string> originals;  // file entries' content by name
};

// Every seed, loaded once: the ones built in code, then the tool-built
// ones listed in the build tree's seed manifest.
const std::vector<Seed> &AllSeeds();
const Seed *FindSeed(const std::string &name);
std::vector<std::string> SeedNames();
// Whether the tool-built seeds were found (the build makes them).
bool ToolSeedsFound();
