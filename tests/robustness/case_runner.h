// One robustness case: an archive image through every operation of the
// archive reader's interface, with everything checked that must hold
// whatever the image holds.
//
// The image is placed so that it ends at a page end before an inaccessible
// page; the reader's own memory comes from the guard heap. The case opens
// the image, asks GetZipItemInfo for -2, -1, every index, the count and
// the count + 1, writes every item with UnZipItem to "<root>item<i>", asks
// for every item again in reverse order, and closes. Then:
//   - open result as the image dictates (the suite's own reading of it);
//   - failed GetZipItemInfo calls leave the record untouched; answers agree
//     with the central record the walk reaches, and do not depend on the
//     order of the calls;
//   - an item written with UZ_OK holds exactly its original bytes (pristine
//     seeds) or bytes of the size and CRC-32 of its central record;
//   - no file left behind by a failed UnZipItem, no file anywhere but the
//     "item<i>" of successful items, no directory unless a directory item
//     succeeded, nothing at all beside the root;
//   - no RtAlloc block, no zlib block and no handle left after
//     CloseZipArchive.
// A fault or a hang ends the program through case_monitor.h.
#pragma once

#include <stddef.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "guard_heap.h"

// Allocation failures to inject: the n-th RtAlloc, or the n-th malloc made
// inside the reader (zlib's), of the case fails; 0: none.
struct Injection {
  size_t rtAlloc = 0;
  size_t malloc = 0;
};

struct CaseState;
struct ZipHandle;

class CaseRunner {
 public:
  // capacity: the largest image any case will use.
  explicit CaseRunner(size_t capacity);
  ~CaseRunner();
  CaseRunner(const CaseRunner &) = delete;
  CaseRunner &operator=(const CaseRunner &) = delete;

  // Runs one case on the first length bytes of image. expected: the
  // original content of each file entry by name, for a pristine image
  // (null for a mutated one). Returns the number of violations found.
  size_t Run(const std::string &id, const std::string &image, size_t length,
             const std::map<std::string, std::string> *expected, Injection inject = Injection());

  // Violations as "case: what", the first few of them.
  const std::vector<std::string> &violations() const { return violations_; }
  size_t violationCount() const { return violationCount_; }
  // RtAlloc calls and zlib mallocs made by the last case, and its
  // UnZipItem results.
  size_t lastAllocations() const { return lastAllocations_; }
  size_t lastMallocs() const { return lastMallocs_; }
  const std::vector<int> &lastUnzipResults() const { return lastUnzip_; }

  // Outcome counts over all cases: open results, GetZipItemInfo results
  // for item indexes, UnZipItem results.
  size_t cases() const { return cases_; }
  const std::map<int, size_t> &openResults() const { return openResults_; }
  const std::map<int, size_t> &infoResults() const { return infoResults_; }
  const std::map<int, size_t> &unzipResults() const { return unzipResults_; }
  std::string Summary() const;

  const std::wstring &root() const { return root_; }

 private:
  void Violation(const std::string &id, const std::string &what);
  // The checks of one case, in the order Run makes them.
  void CheckOpen(const CaseState &state, ZipHandle *handle);
  void CheckCountAndRange(CaseState &state, ZipHandle *handle);
  void CheckItemRecords(CaseState &state, ZipHandle *handle);
  void CheckUnzipItems(CaseState &state, ZipHandle *handle);
  void CheckWrittenFile(CaseState &state, int i, const std::wstring &path);
  void CheckRecordsAgain(const CaseState &state, ZipHandle *handle);
  void CheckNothingLeft(const std::string &id, bool opened);
  void CheckDisk(const std::string &id, const std::set<int> &goodFiles, bool directoriesAllowed);
  size_t CountOwnHandles();

  GuardedImage image_;
  std::wstring parent_, root_, previousDirectory_;
  size_t baselineHandles_ = 0;
  bool baselineTaken_ = false;
  std::vector<char> handleBuffer_;
  std::vector<std::string> violations_;
  size_t violationCount_ = 0;
  size_t lastAllocations_ = 0;
  size_t lastMallocs_ = 0;
  std::vector<int> lastUnzip_;
  size_t cases_ = 0;
  std::map<int, size_t> openResults_, infoResults_, unzipResults_;
};

std::string CodeName(int code);
