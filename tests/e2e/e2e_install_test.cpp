// End-to-end runs of launcher.exe that install: the built launcher, carrying
// a payload made by the test, runs under Wine with its standard output
// captured, and the test checks the exact trace, the exit code, every file
// in the install directory (bytes, attributes, modification time) and
// whether the downloader was started there.
//
// These runs catch what unit tests of the parts cannot: a wrong install
// path, items extracted but traced under the wrong name, a check that
// misses a file, a launch through a path other than the one traced, a
// rerun that does not replace what an earlier run left, and a file held by
// a still-running downloader.

#include <algorithm>

#include "e2e_common.h"

namespace {

std::vector<PlannedItem> AllWritten(const std::vector<FixtureEntry> &entries) {
  std::vector<PlannedItem> items;
  for (const FixtureEntry &e : entries)
    items.push_back({e, (e.externalAttributes & 0x10) ? Fate::kDirectory : Fate::kWritten});
  return items;
}

using InstallTest = LauncherRunTest;

TEST_F(InstallTest, FullRunInstallsEveryFileAndStartsTheDownloader) {
  const std::vector<FixtureEntry> entries = ShippedLikeItems();
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(entries), 0, &output));

  EXPECT_TRACE(PlannedTrace(installDir_, AllWritten(entries), true), output);
  ASSERT_NO_FATAL_FAILURE(WaitForDownloaderToEnd(installDir_));
  std::vector<std::string> expectedTree = {Narrow(kDownloaderRecord)};
  for (const FixtureEntry &e : entries) {
    ExpectInstalled(installDir_, e);
    expectedTree.push_back(e.name[0] == '/' ? e.name.substr(1) : e.name);
  }
  std::sort(expectedTree.begin(), expectedTree.end());
  EXPECT_EQ(expectedTree, TreeOf(installDir_)) << "files other than the archive's";
}

// Only a whole base name is a device: names that merely contain one are
// ordinary files.
TEST_F(InstallTest, NamesThatOnlyContainADeviceWordAreInstalled) {
  const std::vector<FixtureEntry> entries = {
      PayloadFile("/console.dll", "a library"), PayloadFile("/nulls.txt", "no nulls"),
      PayloadFile("/com10.txt", "ten"),         PayloadFile("/lpt.ini", "[lpt]"),
      PayloadFile("/auxiliary", "helper"),      DownloaderFile(),
  };
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(entries), 0, &output));

  EXPECT_TRACE(PlannedTrace(installDir_, AllWritten(entries), true), output);
  ASSERT_NO_FATAL_FAILURE(WaitForDownloaderToEnd(installDir_));
  for (const FixtureEntry &e : entries) ExpectInstalled(installDir_, e);
}

TEST_F(InstallTest, ExistingInstallDirectoryIsUsedAsItIs) {
  ASSERT_NO_FATAL_FAILURE(MakeInstallDir(installDir_));
  ASSERT_TRUE(WriteWholeFile(installDir_ + L"notes.txt", "left by the user"));
  const std::vector<FixtureEntry> entries = {DownloaderFile(),
                                             PayloadFile("/install.ini", "[install]\r\n")};
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(entries), 0, &output));

  EXPECT_TRACE(PlannedTrace(installDir_, AllWritten(entries), true), output);
  ASSERT_NO_FATAL_FAILURE(WaitForDownloaderToEnd(installDir_));
  for (const FixtureEntry &e : entries) ExpectInstalled(installDir_, e);
  std::string notes;
  EXPECT_TRUE(ReadWholeFile(installDir_ + L"notes.txt", &notes));
  EXPECT_EQ("left by the user", notes);
}

// Names are bytes of the ANSI code page. On disk they become the characters
// they stand for; in the trace each character is one byte, and one beyond
// U+00FF (the euro sign of code page 1252) is printed as "?".
std::string AsTraced(const std::string &ansiName) {
  std::string traced;
  for (wchar_t c : Widen(ansiName)) traced += c > 0xFF ? '?' : (char)c;
  return traced;
}

TEST_F(InstallTest, NonAsciiNamesAreInstalledAndTracedOneBytePerCharacter) {
  const std::vector<FixtureEntry> entries = {PayloadFile("/caf\xE9.txt", "accent"),
                                             PayloadFile("/\x80uro.txt", "currency"),
                                             DownloaderFile()};
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(entries), 0, &output));

  Trace expected(installDir_);
  expected.Dir().Extract();
  for (const FixtureEntry &e : entries) expected.UnZip(AsTraced(e.name), 0);
  expected.Check();
  for (const FixtureEntry &e : entries) expected.CheckFile(AsTraced(e.name));
  expected.Start().ShellExecute();
  EXPECT_TRACE(expected.pattern(), output);
  EXPECT_NE(std::string::npos, output.find("caf\xE9.txt")) << "the e with accent is not one byte";
  EXPECT_NE(std::string::npos, output.find("/?uro.txt")) << "the euro sign is not a question mark";
  ASSERT_NO_FATAL_FAILURE(WaitForDownloaderToEnd(installDir_));
  for (const FixtureEntry &e : entries) ExpectInstalled(installDir_, e);
  EXPECT_TRUE(FileExists(installDir_ + L"caf\u00E9.txt"));
  EXPECT_TRUE(FileExists(installDir_ + L"\u20ACuro.txt"));
}

// Directory items make their whole chain, print nothing, and are not looked
// for by Check: "blocked/inner/" cannot be made (a file stands at
// "blocked") and the run still passes. "dw_dlr.exe" only inside a
// subdirectory is not the downloader: nothing is started.
TEST_F(InstallTest, DirectoryItemsCreateTheirChainsSilentlyAndAreNotChecked) {
  ASSERT_NO_FATAL_FAILURE(MakeInstallDir(installDir_));
  ASSERT_TRUE(WriteWholeFile(installDir_ + L"blocked", "a file, not a directory"));
  const std::vector<FixtureEntry> entries = {
      PayloadDirectory("/bin/"),
      PayloadFile("/bin" + DownloaderItem(), DownloaderBytes()),
      PayloadDirectory("data/a/b/"),  // no items for data/ and data/a/
      PayloadFile("data/a/b/leaf.txt", "deep"),
      PayloadDirectory("/blocked/inner/"),
      PayloadFile("/top.txt", "top"),
  };
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(entries), 0, &output));

  EXPECT_TRACE(PlannedTrace(installDir_, AllWritten(entries), false), output);
  EXPECT_TRUE(DirectoryExists(installDir_ + L"data\\a"));
  EXPECT_TRUE(DirectoryExists(installDir_ + L"data\\a\\b"));
  for (const FixtureEntry &e : {entries[1], entries[3], entries[5]}) ExpectInstalled(installDir_, e);
  EXPECT_TRUE(FileExists(installDir_ + L"blocked"));
  EXPECT_FALSE(FileExists(installDir_ + std::wstring(L"bin\\") + kDownloaderRecord)) << "the nested dw_dlr.exe was started";
}

// With no items Check has nothing to miss and the launch is attempted; it
// happens only when a downloader is there, here one an earlier run left.
struct EmptyArchiveCase {
  const char *what;
  bool downloaderLeftBefore;
};
void PrintTo(const EmptyArchiveCase &c, std::ostream *os) { *os << c.what; }

class EmptyArchiveTest : public LauncherRunTest, public ::testing::WithParamInterface<EmptyArchiveCase> {};

TEST_P(EmptyArchiveTest, ChecksNothingAndAttemptsTheLaunch) {
  if (GetParam().downloaderLeftBefore) {
    ASSERT_NO_FATAL_FAILURE(MakeInstallDir(installDir_));
    ASSERT_TRUE(WriteWholeFile(installDir_ + EXPECTED_DOWNLOADER_NAME, DownloaderBytes()));
  }
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(EmptyArchive(), 0, &output));

  Trace expected(installDir_);
  expected.Dir().Extract().Check().Start();
  if (GetParam().downloaderLeftBefore) expected.ShellExecute();
  EXPECT_TRACE(expected.pattern(), output);
  EXPECT_TRUE(DirectoryExists(installDir_));
  if (GetParam().downloaderLeftBefore) {
    ASSERT_NO_FATAL_FAILURE(WaitForDownloaderToEnd(installDir_));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, EmptyArchiveTest,
                         ::testing::Values(EmptyArchiveCase{"NoDownloader", false},
                                           EmptyArchiveCase{"DownloaderFromEarlierRun", true}),
                         [](const ::testing::TestParamInfo<EmptyArchiveCase> &info) { return info.param.what; });

// Every run deletes and rewrites every file item: new content, new times and
// new attributes (a read-only file from the first run comes back writable,
// which only a delete and a fresh create give), with no "DeleteFile" line;
// a file the archive does not name is left alone.
TEST_F(InstallTest, SecondRunReplacesEveryFileAndLeavesOthersAlone) {
  const int32_t later = kPayloadTime + 86400;
  const std::vector<FixtureEntry> first = {
      DownloaderFile(),
      PayloadFile("/config.ini", "[config]\r\nversion=1\r\nmirror=first.example\r\n"),
      PayloadFile("/locked.dat", "read-only in the first payload", kPayloadTime, 0x81800001),
      PayloadFile("union.db", "union_id=1\r\n", kPayloadTime, kArchiveFileAttributes),
  };
  const std::vector<FixtureEntry> second = {
      PayloadFile(DownloaderItem(), DownloaderBytes() + "second payload overlay", later),
      PayloadFile("/config.ini", "[config]\r\nversion=2\r\n", later),
      PayloadFile("/locked.dat", "writable now", later),
      PayloadFile("union.db", "union_id=2\r\n", later, kArchiveFileAttributes),
  };
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(first), 0, &output));
  EXPECT_TRACE(PlannedTrace(installDir_, AllWritten(first), true), output);
  ASSERT_NO_FATAL_FAILURE(WaitForDownloaderToEnd(installDir_));
  ExpectInstalled(installDir_, first[2]);
  ASSERT_TRUE(DeleteFileW((installDir_ + kDownloaderRecord).c_str()));
  ASSERT_TRUE(WriteWholeFile(installDir_ + L"notes.txt", "not in any payload"));

  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(second), 0, &output));
  EXPECT_TRACE(PlannedTrace(installDir_, AllWritten(second), true), output);
  ASSERT_NO_FATAL_FAILURE(WaitForDownloaderToEnd(installDir_));
  for (const FixtureEntry &e : second) ExpectInstalled(installDir_, e);
  std::string notes;
  EXPECT_TRUE(ReadWholeFile(installDir_ + L"notes.txt", &notes));
  EXPECT_EQ("not in any payload", notes);
}

// A "dw_dlr.exe" that another process holds can be neither deleted nor
// rewritten: one "DeleteFile" line with the system's code, one failed
// "UnZipItem" line, the old file stays, Check still passes on it and the
// launch is attempted. Windows and Wine give ERROR_SHARING_VIOLATION (32)
// for a handle opened with share mode 0 and ERROR_ACCESS_DENIED (5) for
// the image of a running program.
enum class Holder { kOpenHandle, kRunningProgram };
struct HeldCase {
  const char *what;
  Holder holder;
  int deleteError;
};
void PrintTo(const HeldCase &c, std::ostream *os) { *os << c.what; }

class HeldDownloaderTest : public LauncherRunTest, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(HeldDownloaderTest, IsKeptAndStillLaunched) {
  const std::wstring downloader = installDir_ + EXPECTED_DOWNLOADER_NAME;
  const std::string old = SleeperBytes();
  ASSERT_FALSE(old.empty());
  ASSERT_NO_FATAL_FAILURE(MakeInstallDir(installDir_));
  ASSERT_TRUE(WriteWholeFile(downloader, old));

  HANDLE held = INVALID_HANDLE_VALUE;
  PROCESS_INFORMATION running = {};
  if (GetParam().holder == Holder::kOpenHandle) {
    held = CreateFileW(downloader.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
  } else {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + downloader + L"\"";
    ASSERT_TRUE(CreateProcessW(downloader.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                               installDir_.c_str(), &startup, &running));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sleeperReady_, kPatienceMs)) << "the held downloader did not start";
  }

  const std::vector<FixtureEntry> entries = {DownloaderFile(),
                                             PayloadFile("/readme.txt", "read me\r\n")};
  std::string output;
  ProgramRun run;
  RunLauncher(Archive(entries), &run);

  bool secondStart = false;
  if (GetParam().holder == Holder::kRunningProgram)
    secondStart = WaitForSingleObject(sleeperReady_, kPatienceMs) == WAIT_OBJECT_0;
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  SetEvent(sleeperRelease_);
  if (running.hProcess) {
    WaitForSingleObject(running.hProcess, kPatienceMs);
    CloseHandle(running.hProcess);
    CloseHandle(running.hThread);
  }
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0u, run.exitCode);

  Trace expected(installDir_);
  expected.Dir()
      .Extract()
      .DeleteFailed(DownloaderItem(), GetParam().deleteError)
      .UnZip(DownloaderItem(), 0x200)
      .UnZip("/readme.txt", 0)
      .Check()
      .CheckFile(DownloaderItem())
      .CheckFile("/readme.txt")
      .Start()
      .ShellExecute();
  EXPECT_TRACE(expected.pattern(), run.output);
  std::string kept;
  EXPECT_TRUE(ReadWholeFile(downloader, &kept));
  EXPECT_TRUE(kept == old) << "the held downloader was changed";
  ExpectInstalled(installDir_, entries[1]);
  if (GetParam().holder == Holder::kRunningProgram) {
    EXPECT_TRUE(secondStart) << "the kept downloader was not started again";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HeldDownloaderTest,
                         ::testing::Values(HeldCase{"OpenWithShareModeZero", Holder::kOpenHandle, 32},
                                           HeldCase{"StillRunning", Holder::kRunningProgram, 5}),
                         [](const ::testing::TestParamInfo<HeldCase> &info) { return info.param.what; });

}  // namespace
