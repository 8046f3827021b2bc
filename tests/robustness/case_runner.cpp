#include "case_runner.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <zlib.h>

#include <set>
#include <sstream>

#include "case_monitor.h"
#include "expected_facts.h"
#include "test_files.h"
#include "unzip.h"
#include "zip_reader.h"
#include "zip_view.h"

namespace {

const size_t kViolationsKept = 40;

// SystemExtendedHandleInformation: every handle of every process.
const ULONG kSystemExtendedHandleInformation = 64;
const LONG kStatusInfoLengthMismatch = (LONG)0xC0000004;

struct HandleEntry {
  void *object;
  ULONG_PTR process;
  ULONG_PTR handle;
  ULONG access;
  USHORT backTrace;
  USHORT type;
  ULONG attributes;
  ULONG reserved;
};

struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};

typedef LONG(WINAPI *QuerySystemInformation)(ULONG, void *, ULONG, ULONG *);

// Hack, for speed only: each case creates and removes a few files, and
// Wine's file calls cost several times as much on the build disk as on a
// RAM disk. Linux's /dev/shm is Wine's Z:\dev\shm when it exists.
std::wstring TemporaryBase() {
  if (DirectoryExists(L"Z:\\dev\\shm\\")) return L"Z:\\dev\\shm\\";
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  return base;
}

// The open result the image dictates.
int ExpectedOpen(const ArchiveView &v) {
  if (v.thisDisk || v.directoryDisk || v.recordsOnDisk != v.totalRecords) return ZS_BAD_ARCHIVE;
  if (!v.endFound) return ZS_IO_ERROR;
  if (v.endRecord < (uint32_t)(v.directoryOffset + v.directorySize)) return ZS_BAD_ARCHIVE;
  return UZ_OK;
}

bool IsItemCode(int code) {
  return code == UZ_OK || code == UZ_BAD_ENTRY || code == UZ_BAD_LOCAL_HEADER || code == UZ_SOURCE_READ_FAILED;
}

bool IsFetchFailure(int code) { return code == UZ_BAD_LOCAL_HEADER || code == UZ_SOURCE_READ_FAILED; }

std::wstring ItemName(int i) { return L"item" + std::to_wstring(i); }

// A file name for a report: printable ASCII as it is, anything else as \u.
std::string Printable(const std::wstring &name) {
  std::string out;
  for (wchar_t c : name) {
    if (c >= 0x20 && c < 0x7F) {
      out += (char)c;
    } else {
      char b[8];
      wsprintfA(b, "\\u%04X", (unsigned)c);
      out += b;
    }
  }
  return out;
}

// Reads a file that UnZipItem wrote and, where it can, removes it on the
// way (delete-on-close): that saves Wine a separate delete per item. A
// read-only file cannot be opened for deletion and stays for ClearTree.
bool ReadAndRemove(const std::wstring &path, std::string *bytes, bool *removed) {
  *removed = true;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *removed = false;
    h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
  }
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(h, &size) && size.QuadPart < (1 << 30);
  DWORD got = 0;
  if (ok) {
    bytes->resize((size_t)size.QuadPart);
    ok = size.QuadPart == 0 || (ReadFile(h, &(*bytes)[0], (DWORD)size.QuadPart, &got, nullptr) && got == size.QuadPart);
  }
  CloseHandle(h);
  return ok;
}

// Calls into the archive reader; C runtime blocks taken meanwhile are its.
ZipHandle *Open(const unsigned char *data, size_t length) {
  WatchCodeUnderTest watch;
  return OpenZipBuffer(data, (unsigned)length);
}

int Info(ZipHandle *handle, int index, ZipItemInfo *info) {
  WatchCodeUnderTest watch;
  return GetZipItemInfo(handle, index, info);
}

int Unzip(ZipHandle *handle, int index, const std::wstring &path) {
  WatchCodeUnderTest watch;
  return UnZipItem(handle, index, path.c_str());
}

int Close(ZipHandle *handle) {
  WatchCodeUnderTest watch;
  return CloseZipArchive(handle);
}

}  // namespace

std::string CodeName(int code) {
  switch (code) {
    case UZ_OK: return "UZ_OK";
    case UZ_FILE_CREATE_FAILED: return "UZ_FILE_CREATE_FAILED";
    case UZ_FILE_WRITE_FAILED: return "UZ_FILE_WRITE_FAILED";
    case UZ_BAD_LOCAL_HEADER: return "UZ_BAD_LOCAL_HEADER";
    case UZ_SOURCE_READ_FAILED: return "UZ_SOURCE_READ_FAILED";
    case UZ_BAD_ENTRY: return "UZ_BAD_ENTRY";
    case UZ_UNSAFE_NAME: return "UZ_UNSAFE_NAME";
    case UZ_BAD_ARGUMENT: return "UZ_BAD_ARGUMENT";
    case UZ_WRONG_HANDLE_KIND: return "UZ_WRONG_HANDLE_KIND";
    case ZS_IO_ERROR: return "ZS_IO_ERROR";
    case ZS_BAD_ARCHIVE: return "ZS_BAD_ARCHIVE";
    case ZS_NO_MEMORY: return "ZS_NO_MEMORY";
    default: return "code " + std::to_string(code);
  }
}

CaseRunner::CaseRunner(size_t capacity) : image_(capacity) {
  wchar_t name[64];
  wsprintfW(name, L"zip_robustness_%lu_%lu\\", GetCurrentProcessId(), GetTickCount());
  parent_ = TemporaryBase() + name;
  root_ = parent_ + L"root\\";
  if (!CreateDirectoryW(parent_.c_str(), nullptr) || !CreateDirectoryW(root_.c_str(), nullptr))
    ReportAndExit("cannot create the temporary root");
  wchar_t current[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, current);
  previousDirectory_ = current;
  // Directory items are created below the directory that is current when an
  // archive is opened: that is the root.
  SetCurrentDirectoryW(root_.c_str());
  handleBuffer_.resize(1 << 20);
}

CaseRunner::~CaseRunner() {
  SetCurrentDirectoryW(previousDirectory_.c_str());
  RemoveTree(parent_);
}

size_t CaseRunner::CountOwnHandles() {
  static QuerySystemInformation query =
      (QuerySystemInformation)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
  if (!query) return 0;
  ULONG length = 0;
  LONG status;
  while ((status = query(kSystemExtendedHandleInformation, handleBuffer_.data(), (ULONG)handleBuffer_.size(),
                         &length)) == kStatusInfoLengthMismatch)
    handleBuffer_.resize(handleBuffer_.size() * 2);
  if (status != 0) return 0;
  const HandleTable *table = (const HandleTable *)handleBuffer_.data();
  ULONG_PTR self = GetCurrentProcessId();
  size_t own = 0;
  for (ULONG_PTR i = 0; i < table->count; i++)
    if (table->entries[i].process == self) own++;
  return own;
}

void CaseRunner::Violation(const std::string &id, const std::string &what) {
  violationCount_++;
  if (violations_.size() >= kViolationsKept) return;
  violations_.push_back(id + ": " + what);
  // At once as well: a fault in a later case ends the run before the
  // test reports.
  fprintf(stderr, "VIOLATION: %s\n", violations_.back().c_str());
}

// What one case carries from one check to the next.
struct CaseState {
  std::string id;
  ArchiveView view;                                  // the suite's own reading of the image
  const std::map<std::string, std::string> *expected;  // originals by name (pristine seeds only)
  bool failAllocation = false;                       // an allocation failure is injected
  int count = 0;                                     // items as the count record gives them
  std::vector<int> first;                            // first GetZipItemInfo result per item
  std::vector<ZipItemInfo> firstInfo;                // and its record
  std::set<int> goodFiles;                           // written with UZ_OK and still on disk
  bool directoriesAllowed = false;                   // a directory item succeeded
};

namespace {

// What a record holds before a call that must not write it.
ZipItemInfo Pattern() {
  ZipItemInfo pattern;
  memset(&pattern, 0x5A, sizeof pattern);
  return pattern;
}

}  // namespace

size_t CaseRunner::Run(const std::string &id, const std::string &image, size_t length,
                       const std::map<std::string, std::string> *expected, Injection inject) {
  size_t before = violationCount_;
  size_t allocationsBefore = GuardHeapAllocations(), mallocsBefore = GuardHeapMallocs();
  if (!baselineTaken_) {
    baselineHandles_ = CountOwnHandles();
    baselineTaken_ = true;
  }
  StartCase(id);
  cases_++;
  const unsigned char *data = image_.Place(image, length);
  CaseState state;
  state.id = id;
  state.view = ViewArchive(length == image.size() ? image : image.substr(0, length));
  state.expected = expected;
  state.failAllocation = inject.rtAlloc || inject.malloc;

  GuardHeapFailAllocation(inject.rtAlloc);
  GuardHeapFailMalloc(inject.malloc);
  ZipHandle *handle = Open(data, length);
  CheckOpen(state, handle);
  lastUnzip_.clear();
  if (handle) {
    CheckCountAndRange(state, handle);
    CheckItemRecords(state, handle);
    CheckUnzipItems(state, handle);
    CheckRecordsAgain(state, handle);
    int r = Close(handle);
    if (r != UZ_OK || LastZipResult != UZ_OK) Violation(id, "CloseZipArchive gave " + CodeName(r));
  }
  GuardHeapFailAllocation(0);
  GuardHeapFailMalloc(0);
  lastAllocations_ = GuardHeapAllocations() - allocationsBefore;
  lastMallocs_ = GuardHeapMallocs() - mallocsBefore;
  CheckNothingLeft(id, handle != nullptr);
  EndCase();
  // Without a handle no call that writes ran: nothing to look for on disk.
  if (handle) CheckDisk(id, state.goodFiles, state.directoriesAllowed);
  return violationCount_ - before;
}

// The open result agrees with LastZipResult and, unless an allocation was
// made to fail, is the one the image dictates.
void CaseRunner::CheckOpen(const CaseState &state, ZipHandle *handle) {
  int open = LastZipResult;
  openResults_[open]++;
  if ((handle != nullptr) != (open == UZ_OK))
    Violation(state.id, "OpenZipBuffer: handle and LastZipResult " + CodeName(open) + " disagree");
  int expectedOpen = ExpectedOpen(state.view);
  if (!state.failAllocation && open != expectedOpen)
    Violation(state.id, "OpenZipBuffer gave " + CodeName(open) + ", the image calls for " + CodeName(expectedOpen));
}

// The count record gives the records on disk and nothing else; -2, the
// count and the one after it are out of range and leave the record alone.
void CaseRunner::CheckCountAndRange(CaseState &state, ZipHandle *handle) {
  const std::string &id = state.id;
  const ZipItemInfo pattern = Pattern();
  ZipItemInfo info = pattern;
  int count = -1;
  int r = Info(handle, -1, &info);
  if (r != UZ_OK || LastZipResult != r) {
    Violation(id, "count record: " + CodeName(r));
  } else {
    count = info.index;
    if (count != state.view.recordsOnDisk) Violation(id, "count record says " + std::to_string(count));
    if (info.name[0] != 0 || info.uncompressedSize != 0) Violation(id, "count record not cleared");
  }
  state.count = count < 0 ? 0 : count;

  for (int i : {-2, state.count, state.count + 1}) {
    info = pattern;
    r = Info(handle, i, &info);
    if (r != UZ_BAD_ARGUMENT || LastZipResult != r) Violation(id, "GetZipItemInfo(" + std::to_string(i) + ") gave " + CodeName(r));
    if (memcmp(&info, &pattern, sizeof info) != 0) Violation(id, "GetZipItemInfo(" + std::to_string(i) + ") wrote its record");
  }
}

// Every item's record, in order: a failure leaves the record alone, an
// answer is the central record's that the walk reaches. The answers are
// kept for the second round and for UnZipItem.
void CaseRunner::CheckItemRecords(CaseState &state, ZipHandle *handle) {
  const std::string &id = state.id;
  const ZipItemInfo pattern = Pattern();
  state.first.assign(state.count, 0);
  state.firstInfo.assign(state.count, pattern);
  for (int i = 0; i < state.count; i++) {
    std::string at = "GetZipItemInfo(" + std::to_string(i) + ")";
    ZipItemInfo info = pattern;
    int r = Info(handle, i, &info);
    state.first[i] = r;
    state.firstInfo[i] = info;
    infoResults_[r]++;
    if (LastZipResult != r) Violation(id, at + ": LastZipResult differs");
    if (!IsItemCode(r)) Violation(id, at + " gave " + CodeName(r));
    bool walked = (size_t)i < state.view.records.size();
    if (r != UZ_OK) {
      if (memcmp(&info, &pattern, sizeof info) != 0) Violation(id, at + " failed and wrote its record");
      if (!walked && r != UZ_BAD_ENTRY && !state.failAllocation)
        Violation(id, at + " gave " + CodeName(r) + " for a record the walk never reaches");
      continue;
    }
    if (!walked) {
      Violation(id, at + " answered for a record the walk never reaches");
      continue;
    }
    const RecordView &rec = state.view.records[i];
    if (!rec.nameInImage || rec.nameLength >= EXPECTED_PATH_SIZE) Violation(id, at + " answered for an unreadable name");
    if (info.index != i) Violation(id, at + ": index " + std::to_string(info.index));
    if (wmemchr(info.name, 0, sizeof info.name / sizeof info.name[0]) == nullptr) Violation(id, at + ": name not terminated");
    else if (rec.nameInImage && wcscmp(info.name, Widen(rec.name).c_str()) != 0)
      Violation(id, at + ": name is not the central record's");
    if (info.compressedSize != rec.compressedSize || info.uncompressedSize != rec.uncompressedSize)
      Violation(id, at + ": sizes are not the central record's");
  }
}

// Every item written to "<root>item<i>": the result agrees with the
// record's, and a file written with UZ_OK holds the item's bytes. Indexes
// out of range write nothing.
void CaseRunner::CheckUnzipItems(CaseState &state, ZipHandle *handle) {
  const std::string &id = state.id;
  for (int i = 0; i < state.count; i++) {
    std::string at = "UnZipItem(" + std::to_string(i) + ")";
    std::wstring path = root_ + ItemName(i);
    int u = Unzip(handle, i, path);
    unzipResults_[u]++;
    lastUnzip_.push_back(u);
    if (LastZipResult != u) Violation(id, at + ": LastZipResult differs");
    if (u == UZ_BAD_ARGUMENT || u == UZ_WRONG_HANDLE_KIND || u < 0) Violation(id, at + " gave " + CodeName(u));
    if (!state.failAllocation) {
      int first = state.first[i];
      if (IsFetchFailure(first) && u != first)
        Violation(id, at + " gave " + CodeName(u) + " where GetZipItemInfo gave " + CodeName(first));
      if ((size_t)i >= state.view.records.size() && u != UZ_BAD_ENTRY)
        Violation(id, at + " gave " + CodeName(u) + " for a record the walk never reaches");
      if (first == UZ_OK && (IsFetchFailure(u) || u == UZ_BAD_ENTRY))
        Violation(id, at + " gave " + CodeName(u) + " where GetZipItemInfo succeeded");
    }
    if (u != UZ_OK) continue;
    if ((size_t)i >= state.view.records.size()) {
      Violation(id, at + " succeeded for a record the walk never reaches");
      continue;
    }
    const RecordView &rec = state.view.records[i];
    if (rec.IsDirectory()) {
      state.directoriesAllowed = true;
      continue;
    }
    CheckWrittenFile(state, i, path);
  }
  for (int i : {-1, state.count}) {
    int u = Unzip(handle, i, root_ + L"outside_range");
    if (u != UZ_BAD_ARGUMENT) Violation(id, "UnZipItem(" + std::to_string(i) + ") gave " + CodeName(u));
  }
}

// A file item written with UZ_OK: its size and CRC-32 are its central
// record's, and for a pristine seed its bytes are the original's.
void CaseRunner::CheckWrittenFile(CaseState &state, int i, const std::wstring &path) {
  const std::string &id = state.id;
  const std::string at = "UnZipItem(" + std::to_string(i) + ")";
  const RecordView &rec = state.view.records[i];
  std::string written;
  bool removed = false;
  if (!ReadAndRemove(path, &written, &removed)) {
    Violation(id, at + " succeeded and left no readable file");
    return;
  }
  if (!removed) state.goodFiles.insert(i);
  if (written.size() != rec.uncompressedSize) {
    Violation(id, at + " wrote " + std::to_string(written.size()) + " bytes, the record says " +
                      std::to_string(rec.uncompressedSize));
  } else if ((uint32_t)crc32(0, (const Bytef *)written.data(), (uInt)written.size()) != rec.crc) {
    Violation(id, at + " wrote bytes whose CRC-32 is not the record's");
  }
  if (state.expected && rec.nameInImage) {
    auto original = state.expected->find(rec.name);
    if (original == state.expected->end()) Violation(id, at + ": no original for " + rec.name);
    else if (written != original->second) Violation(id, at + " wrote bytes other than the original's");
  }
}

// The same questions in the opposite order: the answers must not depend on
// where earlier calls left the reader or what its cache holds.
void CaseRunner::CheckRecordsAgain(const CaseState &state, ZipHandle *handle) {
  if (state.failAllocation) return;
  for (int i = state.count - 1; i >= 0; i--) {
    ZipItemInfo info = Pattern();
    int r = Info(handle, i, &info);
    if (r != state.first[i]) {
      Violation(state.id, "GetZipItemInfo(" + std::to_string(i) + ") gave " + CodeName(r) + " after " + CodeName(state.first[i]));
    } else if (memcmp(&info, &state.firstInfo[i], sizeof info) != 0) {
      Violation(state.id, "GetZipItemInfo(" + std::to_string(i) + ") changed its answer");
    }
  }
}

// After the close: no block of either heap, and no handle more than before.
void CaseRunner::CheckNothingLeft(const std::string &id, bool opened) {
  if (GuardHeapLiveBlocks() != 0)
    Violation(id, std::to_string(GuardHeapLiveBlocks()) + " RtAlloc blocks left after the archive was closed");
  if (GuardHeapLiveMallocBlocks() != 0)
    Violation(id, std::to_string(GuardHeapLiveMallocBlocks()) + " zlib (malloc) blocks left after the archive was closed");
  // Only calls on an open archive touch files: a failed open has no handle
  // to leave behind.
  size_t handles = opened ? CountOwnHandles() : baselineHandles_;
  if (handles != baselineHandles_) {
    Violation(id, "handles: " + std::to_string(handles) + " open, " + std::to_string(baselineHandles_) + " before");
    baselineHandles_ = handles;  // report each change once
  }
}

void CaseRunner::CheckDisk(const std::string &id, const std::set<int> &goodFiles, bool directoriesAllowed) {
  const std::vector<TreeEntry> tree = ListTree(root_);
  for (const TreeEntry &entry : tree) {
    if (entry.directory) {
      if (!directoriesAllowed) Violation(id, "directory " + Printable(entry.path) + " but no directory item succeeded");
      continue;
    }
    bool good = false;
    for (int i : goodFiles) good = good || entry.path == ItemName(i);
    if (!good) Violation(id, "file " + Printable(entry.path) + " left behind");
  }
  for (int i : goodFiles) {
    bool found = false;
    for (const TreeEntry &entry : tree) found = found || (!entry.directory && entry.path == ItemName(i));
    if (!found) Violation(id, "item" + std::to_string(i) + " written with UZ_OK is gone");
  }
  std::vector<TreeEntry> beside;
  for (const TreeEntry &entry : ListTree(parent_, false))
    if (entry.path != L"root") beside.push_back(entry);
  for (const TreeEntry &entry : beside) Violation(id, "created outside the root: " + Printable(entry.path));

  if (!tree.empty()) {
    ClearTree(root_);
    for (const TreeEntry &entry : ListTree(root_))
      Violation(id, "cannot remove " + Printable(entry.path) + " from the root");
  }
  for (const TreeEntry &entry : beside) {
    std::wstring path = L"\\\\?\\" + parent_ + entry.path;
    if (entry.directory) {
      RemoveTree(parent_ + entry.path);
    } else {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(path.c_str());
    }
  }
}

std::string CaseRunner::Summary() const {
  std::ostringstream s;
  s << cases_ << " cases\n  OpenZipBuffer:";
  for (auto &kv : openResults_) s << " " << CodeName(kv.first) << "=" << kv.second;
  s << "\n  GetZipItemInfo (item indexes):";
  for (auto &kv : infoResults_) s << " " << CodeName(kv.first) << "=" << kv.second;
  s << "\n  UnZipItem:";
  for (auto &kv : unzipResults_) s << " " << CodeName(kv.first) << "=" << kv.second;
  return s.str();
}
