// Shared pieces of the end-to-end tests: a fixture that gives every test a
// clean install directory and a launcher copy with the test's own payload,
// payload items shaped like the shipped ones, a builder for the exact trace
// a run must print, and checks of what ended up on disk.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "expected_facts.h"
#include "file_times.h"
#include "launcher_run.h"
#include "test_files.h"
#include "zip_fixture.h"

// ---- Payload items ------------------------------------------------------------

const uint32_t kFileAttributes = 0x81800000;       // Unix regular file, mode 0600
const uint32_t kArchiveFileAttributes = 0x81800020;
const uint32_t kDirectoryAttributes = 0x41ED0010;  // Unix directory, MS-DOS directory bit
const int32_t kPayloadTime = 1533536566;           // 2018-08-06 06:22:46 UTC

// A file item as the release tool writes them: deflated, flags 0x0002, an
// MS-DOS time eight hours ahead, a local "UT" field with modification,
// access and creation time (mtime, mtime + 1000, mtime - 1000) and a central
// one with the modification time only.
FixtureEntry PayloadFile(const std::string &name, const std::string &data, int32_t mtime = kPayloadTime,
                         uint32_t externalAttributes = kFileAttributes);
// A directory item (stored, empty, directory attributes).
FixtureEntry PayloadDirectory(const std::string &name);
// The modification time of an item built by PayloadFile.
int32_t PayloadModifyTime(const FixtureEntry &entry);

// The demo downloader as built (BuildDir() + EXPECTED_DOWNLOADER_NAME).
std::string DownloaderBytes();
// The downloader as a payload names it: "/" + EXPECTED_DOWNLOADER_NAME.
std::string DownloaderItem();
// The payload item the launcher starts: the demo downloader under that name.
FixtureEntry DownloaderFile();
// The first levels of the install suffix, without its outer backslashes:
// 1 gives "selvane", 3 "selvane\downloader\tarnis".
std::wstring InstallSuffixLevels(int levels);
// What the demo downloader writes beside itself when it starts.
const wchar_t kDownloaderRecord[] = L"dw_dlr_started.txt";
// The launcher built with the removal of an incomplete file made to fail
// (see removal_faults.cpp).
std::wstring RemovalFaultsLauncher();
// The stand-in downloader that stays running until released (see sleeper.cpp).
std::string SleeperBytes();
const wchar_t kSleeperReadyEvent[] = L"launcher_e2e_sleeper_ready";
const wchar_t kSleeperReleaseEvent[] = L"launcher_e2e_sleeper_release";

// Items shaped like the shipped payload (names with and without a leading
// "/", the archive bit on two of them, a file larger than one 16 KiB copy
// piece, a file whose deflated form is longer than itself) plus a stored, an
// empty, a read-only and a hidden file, with the demo downloader as
// "/dw_dlr.exe".
std::vector<FixtureEntry> ShippedLikeItems();
std::string Archive(const std::vector<FixtureEntry> &entries);
// An archive without items that opens: the reader never finds an end record
// at offset 0 (a bare 22-byte archive does not open), so a few bytes stand
// before it.
std::string EmptyArchive();

// ---- Expected trace -------------------------------------------------------------

// Builds the exact standard output of a run, line by line (CR LF ends, as
// the launcher writes text mode); "{int}" stands for the last-error number
// that "CheckFile" prints, which means nothing.
class Trace {
 public:
  explicit Trace(const std::wstring &installDir) : dir_(Narrow(installDir)) {}
  Trace &Line(const std::string &text) { text_ += text + "\r\n"; return *this; }
  Trace &Dir() { return Line("dir:" + dir_); }
  Trace &Extract() { return Line("CLoader::Extract()"); }
  Trace &UnZip(const std::string &name, unsigned code);
  Trace &DeleteFailed(const std::string &name, int error) {
    return Line("DeleteFile(" + dir_ + name + ")=" + std::to_string(error));
  }
  Trace &Check() { return Line("CLoader::Check()"); }
  Trace &CheckFile(const std::string &name) { return Line("CheckFile(" + dir_ + name + ")={int}"); }
  Trace &Start() { return Line("CLoader::Start()"); }
  // "%s\%s" behind a directory that ends in "\": the backslash is doubled.
  Trace &ShellExecute() { return Line("ShellExecute:" + dir_ + "\\" + Narrow(EXPECTED_DOWNLOADER_NAME)); }
  Trace &NotFinished() { text_ += "zip file extract is not finished."; return *this; }
  const std::string &pattern() const { return text_; }

 private:
  std::string dir_;
  std::string text_;
};

// What a run does with one item, for building the trace of a whole payload.
enum class Fate {
  kWritten,       // "UnZipItem(name)=00000000", then found by Check
  kCreateFailed,  // "UnZipItem(name)=00000200", missing in Check
  kWriteFailed,   // "UnZipItem(name)=00000400", missing in Check
  kDirectory,     // created silently, never traced
  kUnsafe,        // "Unsafe name:name" in Extract and, ending the walk, in Check
  kTooLong,       // "Path too long:name" likewise
  kBadLocalHeader,  // "GetZipItemInfo(index)=00000700" likewise
};
struct PlannedItem {
  FixtureEntry entry;
  Fate fate;
};
// The whole trace of a run over these items: Extract, Check stopping at the
// first item it misses, then Start (with the "ShellExecute" line when
// launcherThere) or the "not finished" text.
std::string PlannedTrace(const std::wstring &installDir, const std::vector<PlannedItem> &items,
                         bool launcherThere);
std::vector<FixtureEntry> EntriesOf(const std::vector<PlannedItem> &items);

::testing::AssertionResult TraceIs(const char *patternText, const char *actualText, const std::string &pattern,
                                   const std::string &actual);
#define EXPECT_TRACE(pattern, actual) EXPECT_PRED_FORMAT2(TraceIs, pattern, actual)

// ---- On disk ----------------------------------------------------------------------

// The names (relative, "\" separated, directories with a trailing "\")
// of everything below dir, sorted.
std::vector<std::string> TreeOf(const std::wstring &dir);
// Makes the install directory (and its parents) the way an earlier run left it.
void MakeInstallDir(const std::wstring &installDir);
// The last-write time of a file as a Unix time, or INT64_MIN.
long long ModifyTimeOf(const std::wstring &path);
// Whether this file system keeps FILE_ATTRIBUTE_HIDDEN (Wine stores it in
// an extended attribute, which not every file system has).
bool FileSystemKeepsHidden(const std::wstring &dir);
// The file item entry was written to dir + name: its bytes, its read-only,
// hidden and system bits, its modification time.
void ExpectInstalled(const std::wstring &installDir, const FixtureEntry &entry);

// The demo downloader started by a run wrote its record beside itself in
// installDir: it ran there, started through the exact "ShellExecute" path
// (the doubled backslash survives in its command line). Waits for it.
void ExpectDownloaderStarted(const std::wstring &installDir);
// Waits until the downloader in installDir has ended, so that the next run
// can replace it.
void WaitForDownloaderToEnd(const std::wstring &installDir);

// ---- Fixture ----------------------------------------------------------------------

class LauncherRunTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes a launcher copy carrying payload under resourceId into the
  // test's work folder and runs it there.
  void RunLauncher(const std::string &payload, ProgramRun *run, WORD resourceId = kPayloadResourceId);
  // Same, and checks the run ended by itself with the given exit code.
  void RunLauncherExpecting(const std::string &payload, DWORD exitCode, std::string *output,
                            WORD resourceId = kPayloadResourceId);
  std::wstring program_;     // the launcher build to run; empty: launcher.exe
  std::wstring installDir_;  // ends with a backslash
  std::wstring installRoot_; // "<local appdata>\selvane"
  TempDir work_;             // the launcher copy and its current directory
  HANDLE sleeperReady_ = nullptr;
  HANDLE sleeperRelease_ = nullptr;
};
