// End-to-end runs of launcher.exe that cannot finish: a file that cannot be
// written, an install path blocked by a file, damaged or unsafe items, names
// too long for the path limit, and payloads that do not open at all. Each
// run must say exactly what went wrong in its trace, leave no broken or
// stray file behind, start nothing and still end with exit code 0.

#include <algorithm>

#include "e2e_common.h"

namespace {

using FailedRunTest = LauncherRunTest;

// The run stopped before Start: no downloader may have been started.
void ExpectNothingLaunched(const std::wstring &installDir) {
  EXPECT_FALSE(FileExists(installDir + kDownloaderRecord)) << "the downloader was started";
}

// A file in a subdirectory that has no directory item before it cannot be
// created; Check stops at it, whether it comes first or last.
struct MissingFileCase {
  const char *what;
  size_t position;
};
void PrintTo(const MissingFileCase &c, std::ostream *os) { *os << c.what; }

class MissingFileTest : public LauncherRunTest, public ::testing::WithParamInterface<MissingFileCase> {};

TEST_P(MissingFileTest, StopsCheckAndStartsNothing) {
  std::vector<PlannedItem> items = {
      {DownloaderFile(), Fate::kWritten},
      {PayloadFile("/a.txt", "alpha"), Fate::kWritten},
      {PayloadFile("b.txt", "beta"), Fate::kWritten},
  };
  items.insert(items.begin() + GetParam().position,
               {PayloadFile("/sub/orphan.txt", "no directory item"), Fate::kCreateFailed});
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(EntriesOf(items)), 0, &output));

  EXPECT_TRACE(PlannedTrace(installDir_, items, true), output);
  EXPECT_FALSE(DirectoryExists(installDir_ + L"sub"));
  ExpectNothingLaunched(installDir_);
}

INSTANTIATE_TEST_SUITE_P(Cases, MissingFileTest,
                         ::testing::Values(MissingFileCase{"First", 0}, MissingFileCase{"Last", 3}),
                         [](const ::testing::TestParamInfo<MissingFileCase> &info) { return info.param.what; });

// The directory item comes after its file: the first run cannot write the
// file but makes the directory, so the second run completes.
TEST_F(FailedRunTest, DirectoryItemAfterItsFileHelpsOnlyTheNextRun) {
  const FixtureEntry late = PayloadFile("/late/f.txt", "written on the second run");
  std::vector<PlannedItem> items = {
      {late, Fate::kCreateFailed},
      {PayloadDirectory("/late/"), Fate::kDirectory},
      {DownloaderFile(), Fate::kWritten},
  };
  const std::string payload = Archive(EntriesOf(items));
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(payload, 0, &output));
  EXPECT_TRACE(PlannedTrace(installDir_, items, true), output);
  ExpectNothingLaunched(installDir_);

  items[0].fate = Fate::kWritten;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(payload, 0, &output));
  EXPECT_TRACE(PlannedTrace(installDir_, items, true), output);
  ExpectInstalled(installDir_, late);
  ASSERT_NO_FATAL_FAILURE(WaitForDownloaderToEnd(installDir_));
}

// A file where a level of the install path should be: the existence test
// passes for it, nothing below it can be made, every item fails.
struct BlockedCase {
  const char *what;
  std::wstring level;  // below local appdata
};
void PrintTo(const BlockedCase &c, std::ostream *os) { *os << c.what; }

class BlockedPathTest : public LauncherRunTest, public ::testing::WithParamInterface<BlockedCase> {};

TEST_P(BlockedPathTest, NothingCanBeInstalled) {
  const std::wstring appData = LocalAppDataDir() + L"\\";
  const std::wstring blocker = appData + GetParam().level;
  for (size_t at = blocker.find(L'\\', appData.size()); at != std::wstring::npos; at = blocker.find(L'\\', at + 1))
    ASSERT_TRUE(CreateDirectoryW(blocker.substr(0, at).c_str(), nullptr));
  ASSERT_TRUE(WriteWholeFile(blocker, "in the way"));
  std::vector<PlannedItem> items = {
      {DownloaderFile(), Fate::kCreateFailed},
      {PayloadFile("/a.txt", "alpha"), Fate::kCreateFailed},
  };
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(EntriesOf(items)), 0, &output));

  EXPECT_TRACE(PlannedTrace(installDir_, items, true), output);
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(blocker, &bytes));
  EXPECT_EQ("in the way", bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, BlockedPathTest,
                         ::testing::Values(BlockedCase{"FirstLevel", InstallSuffixLevels(1)},
                                           BlockedCase{"InstallDirectory", InstallSuffixLevels(3)}),
                         [](const ::testing::TestParamInfo<BlockedCase> &info) { return info.param.what; });

// A folder left where a file item belongs (by an earlier run, by anything)
// can be neither deleted nor replaced by the file. It must not pass the
// check as the file: for "dw_dlr.exe" the shell would open the folder.
class FolderInPlaceTest : public LauncherRunTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(FolderInPlaceTest, IsNotTakenForTheFile) {
  const std::string name = GetParam();
  std::vector<PlannedItem> items = {
      {PayloadFile("/a.txt", "alpha"), Fate::kWritten},
      {DownloaderFile(), Fate::kWritten},
  };
  const size_t blocked = items[0].entry.name == "/" + name ? 0 : 1;
  ASSERT_NO_FATAL_FAILURE(MakeInstallDir(installDir_));
  const std::wstring folder = installDir_ + Widen(name);
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(EntriesOf(items)), 0, &output));

  Trace expected(installDir_);
  expected.Dir().Extract();
  for (size_t i = 0; i < items.size(); i++) {
    if (i == blocked) expected.DeleteFailed(items[i].entry.name, ERROR_ACCESS_DENIED);
    expected.UnZip(items[i].entry.name, i == blocked ? 0x200 : 0);
  }
  expected.Check();
  for (size_t i = 0; i <= blocked; i++) expected.CheckFile(items[i].entry.name);
  expected.NotFinished();
  EXPECT_TRACE(expected.pattern(), output);
  EXPECT_TRUE(DirectoryExists(folder));
  ExpectNothingLaunched(installDir_);
}

INSTANTIATE_TEST_SUITE_P(Cases, FolderInPlaceTest,
                         ::testing::Values(std::string("a.txt"), Narrow(EXPECTED_DOWNLOADER_NAME)),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                           return info.param == "a.txt" ? "OrdinaryFile" : "Downloader";
                         });

// One flipped byte in the external attributes of "/dw_dlr.exe" (high byte
// 0x81 to 0xFF: a Unix directory mode) makes it a directory item: the run
// makes a folder "dw_dlr.exe", which the check passes over as a directory.
// Start must not hand a folder to the shell, and says why.
TEST_F(FailedRunTest, DownloaderDamagedIntoADirectoryItemIsNotStarted) {
  std::vector<PlannedItem> items = {
      {PayloadFile("/a.txt", "alpha"), Fate::kWritten},
      {PayloadFile(DownloaderItem(), DownloaderBytes(), kPayloadTime, 0xFF800000), Fate::kDirectory},
  };
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(EntriesOf(items)), 0, &output));

  Trace expected(installDir_);
  expected.Dir().Extract().UnZip("/a.txt", 0).Check().CheckFile("/a.txt").Start();
  expected.Line("Not a file:" + Narrow(installDir_) + "\\" + Narrow(EXPECTED_DOWNLOADER_NAME));
  EXPECT_TRACE(expected.pattern(), output);
  EXPECT_TRUE(DirectoryExists(installDir_ + EXPECTED_DOWNLOADER_NAME));
  ExpectNothingLaunched(installDir_);
}

// A double click can start the launcher twice. The second run must not
// delete and rewrite what the first is writing (its check could pass on a
// half-written install and start a second downloader): while another run
// holds the install directory's mutex, a run prints one line, touches
// nothing and ends with 0 at once. Once the holder is gone, runs work.
TEST_F(FailedRunTest, RunWhileAnotherRunIsBusyTouchesNothing) {
  std::wstring name = L"Local\\" + installDir_;
  std::replace(name.begin() + 6, name.end(), L'\\', L'/');
  HANDLE busy = CreateMutexW(nullptr, TRUE, name.c_str());
  ASSERT_NE(nullptr, busy);
  const std::vector<PlannedItem> items = {{DownloaderFile(), Fate::kWritten}};
  const std::string payload = Archive(EntriesOf(items));
  std::string output;
  RunLauncherExpecting(payload, 0, &output);
  CloseHandle(busy);

  EXPECT_EQ("Another run is busy:" + Narrow(installDir_) + "\r\n", output);
  EXPECT_FALSE(DirectoryExists(installRoot_)) << "the busy run made the install directory";
  EXPECT_EQ(std::vector<std::string>{"launcher.exe"}, TreeOf(work_.path()));

  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(payload, 0, &output));
  EXPECT_TRACE(PlannedTrace(installDir_, items, true), output);
  ASSERT_NO_FATAL_FAILURE(WaitForDownloaderToEnd(installDir_));
}

// An item whose data does not decode to its recorded size and CRC-32 fails
// with UZ_FILE_WRITE_FAILED and leaves no file; Check then misses it.
FixtureEntry Damaged(const std::string &name, int method, std::string packed) {
  FixtureEntry e = PayloadFile(name, SampleData(6000, 11));
  e.method = (uint16_t)method;
  e.packedData = packed;
  return e;
}

std::string FlipMiddleByte(std::string bytes) {
  bytes[bytes.size() / 2] = (char)(bytes[bytes.size() / 2] ^ 0xFF);
  return bytes;
}

const std::string kDamagedData = SampleData(6000, 11);

// A file whose data did not verify must go even when something opened it
// between its creation and its removal (a virus scanner, an indexer), so
// that DeleteFileW fails: the run then marks it for deletion on its own
// handle. Should that fail too, the broken file stays, the run says so and
// starts nothing. Both failures are injected at link time into a build of
// the launcher's own code (removal_faults.cpp).
struct RemovalCase {
  const char *what;
  bool markFails;  // the delete mark on the handle fails as well
};
void PrintTo(const RemovalCase &c, std::ostream *os) { *os << c.what; }

class BrokenFileRemovalTest : public LauncherRunTest, public ::testing::WithParamInterface<RemovalCase> {
 protected:
  void SetUp() override {
    LauncherRunTest::SetUp();
    program_ = RemovalFaultsLauncher();
    if (GetParam().markFails) SetEnvironmentVariableW(L"LAUNCHER_FAULT_DISPOSITION", L"1");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"LAUNCHER_FAULT_DISPOSITION", nullptr);
    LauncherRunTest::TearDown();
  }
};

TEST_P(BrokenFileRemovalTest, BrokenFileNeverPassesAndNothingStarts) {
  const FixtureEntry broken = Damaged("/bad.bin", 0, FlipMiddleByte(SampleData(6000, 11)));
  const std::vector<FixtureEntry> entries = {PayloadFile("/a.txt", "alpha"), broken,
                                             DownloaderFile()};
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(entries), 0, &output));

  Trace expected(installDir_);
  expected.Dir().Extract().UnZip("/a.txt", 0).UnZip("/bad.bin", 0x400);
  if (GetParam().markFails) expected.Line("Broken file kept:" + Narrow(installDir_) + "/bad.bin");
  expected.UnZip(DownloaderItem(), 0).Check().CheckFile("/a.txt").CheckFile("/bad.bin");
  if (GetParam().markFails) expected.CheckFile(DownloaderItem());
  expected.NotFinished();
  EXPECT_TRACE(expected.pattern(), output);
  EXPECT_EQ(GetParam().markFails, FileExists(installDir_ + L"bad.bin"));
  ExpectNothingLaunched(installDir_);
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenFileRemovalTest,
                         ::testing::Values(RemovalCase{"DeleteFails", false},
                                           RemovalCase{"DeleteAndMarkFail", true}),
                         [](const ::testing::TestParamInfo<RemovalCase> &info) { return info.param.what; });

// An item the run cannot take: data that does not decode to its recorded
// size and CRC-32 (damaged on the way: written, then removed), or a name that
// would reach outside the install directory or that Windows opens as a
// device rather than a file (its data would be thrown away or sent to a
// port, and the device would pass the check; refused in both passes).
// Either way only the good files stand in the install directory, nothing is
// written anywhere else (not at the levels above it, not in the launcher's
// current directory), and nothing is started.
struct BadItemCase {
  const char *what;
  FixtureEntry entry;
  Fate fate;
};
void PrintTo(const BadItemCase &c, std::ostream *os) { *os << c.what; }

class BadItemTest : public LauncherRunTest, public ::testing::WithParamInterface<BadItemCase> {};

TEST_P(BadItemTest, LeavesOnlyTheGoodFilesAndStartsNothing) {
  std::vector<PlannedItem> items = {
      {PayloadFile("/a.txt", "alpha"), Fate::kWritten},
      {GetParam().entry, GetParam().fate},
      {DownloaderFile(), Fate::kWritten},
  };
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(EntriesOf(items)), 0, &output));

  EXPECT_TRACE(PlannedTrace(installDir_, items, true), output);
  // The levels below the install root: "downloader\\", "downloader\\tarnis\\".
  const std::string below = Narrow(installDir_.substr(installRoot_.size() + 1));
  const std::string tarnis = below, downloader = below.substr(0, below.find('\\') + 1);
  const std::vector<std::string> onlyTheGoodFiles = {downloader, tarnis, tarnis + "a.txt",
                                                     tarnis + Narrow(EXPECTED_DOWNLOADER_NAME)};
  EXPECT_EQ(onlyTheGoodFiles, TreeOf(installRoot_));
  EXPECT_EQ(std::vector<std::string>{"launcher.exe"}, TreeOf(work_.path()));
  ExpectNothingLaunched(installDir_);
}

BadItemCase DamagedCase(const char *what, int method, const std::string &packed) {
  return {what, Damaged("/bad.bin", method, packed), Fate::kWriteFailed};
}
BadItemCase UnsafeCase(const char *what, const FixtureEntry &entry) { return {what, entry, Fate::kUnsafe}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, BadItemTest,
    ::testing::Values(DamagedCase("DeflatedByteFlipped", 8, FlipMiddleByte(RawDeflate(kDamagedData))),
                      DamagedCase("DeflatedDataCutInHalf", 8,
                                  RawDeflate(kDamagedData).substr(0, RawDeflate(kDamagedData).size() / 2)),
                      DamagedCase("StoredByteFlipped", 0, FlipMiddleByte(kDamagedData)),
                      DamagedCase("StoredDataShorterThanStated", 0, kDamagedData.substr(0, 1000)),
                      UnsafeCase("ParentAfterLeadingSlash", PayloadFile("/../evil.txt", "evil")),
                      UnsafeCase("ParentTwiceInside", PayloadFile("a/../../x", "evil")),
                      UnsafeCase("ParentAfterBackslash", PayloadFile("sub\\..\\..\\evil.txt", "evil")),
                      UnsafeCase("DriveLetter", PayloadFile("c:evil", "evil")),
                      UnsafeCase("ParentDirectoryItem", PayloadDirectory("/../up/")),
                      UnsafeCase("NullDevice", PayloadFile("/nul", "thrown away")),
                      UnsafeCase("DeviceWithExtension", PayloadFile("/aux.dll", "to a device")),
                      UnsafeCase("Console", PayloadFile("/con", "to the console")),
                      UnsafeCase("PortWithExtension", PayloadFile("/COM1.txt", "to a port")),
                      UnsafeCase("DeviceInASubfolder", PayloadFile("/sub/lpt9.ini", "to a printer port")),
                      UnsafeCase("DeviceWithTrailingDot", PayloadFile("/prn.", "to the printer")),
                      UnsafeCase("ConsoleOutput", PayloadFile("conout$", "to the console"))),
    [](const ::testing::TestParamInfo<BadItemCase> &info) { return info.param.what; });

// The install directory plus a name may use up to 259 characters; one more
// and the item is refused in both passes.
TEST_F(FailedRunTest, NameOneCharacterOverThePathLimitIsRefused) {
  const size_t room = 259 - installDir_.size();  // characters a name may have
  ASSERT_LT(room, 255u) << "a single name would exceed the file system's limit";
  const FixtureEntry fits = PayloadFile("/" + std::string(room - 1, 'f'), "just fits");
  const FixtureEntry tooLong = PayloadFile("/" + std::string(room, 'g'), "one too many");
  std::vector<PlannedItem> items = {
      {fits, Fate::kWritten},
      {tooLong, Fate::kTooLong},
      {DownloaderFile(), Fate::kWritten},
  };
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(EntriesOf(items)), 0, &output));

  EXPECT_TRACE(PlannedTrace(installDir_, items, true), output);
  ExpectInstalled(installDir_, fits);
  EXPECT_FALSE(FileExists(installDir_ + Widen(tooLong.name)));
  ExpectNothingLaunched(installDir_);
}

// An item whose local header disagrees with its central record cannot be
// fetched: both passes report the fetch and Check counts it as missing.
TEST_F(FailedRunTest, ItemWithBadLocalHeaderIsReportedInBothPasses) {
  FixtureEntry bad = PayloadFile("/bad.bin", "local method differs");
  bad.localMethod = 0;
  std::vector<PlannedItem> items = {
      {PayloadFile("/a.txt", "alpha"), Fate::kWritten},
      {bad, Fate::kBadLocalHeader},
      {DownloaderFile(), Fate::kWritten},
  };
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(Archive(EntriesOf(items)), 0, &output));

  EXPECT_TRACE(PlannedTrace(installDir_, items, true), output);
  EXPECT_FALSE(FileExists(installDir_ + L"bad.bin"));
  ExpectNothingLaunched(installDir_);
}

// A payload that does not open: Extract and Check both give up at once and
// the run ends "not finished" with exit code 0 and an empty install
// directory. A bare end record (an archive of no items, 22 bytes) is one of
// them: the reader never finds an end record at offset 0.
struct UnopenableCase {
  const char *what;
  std::string payload;
  WORD resourceId;
};
void PrintTo(const UnopenableCase &c, std::ostream *os) { *os << c.what; }

class UnopenablePayloadTest : public LauncherRunTest, public ::testing::WithParamInterface<UnopenableCase> {};

TEST_P(UnopenablePayloadTest, EndsNotFinished) {
  std::string output;
  ASSERT_NO_FATAL_FAILURE(RunLauncherExpecting(GetParam().payload, 0, &output, GetParam().resourceId));

  Trace expected(installDir_);
  expected.Dir().Extract().Check().NotFinished();
  EXPECT_TRACE(expected.pattern(), output);
  EXPECT_TRUE(DirectoryExists(installDir_));
  EXPECT_TRUE(TreeOf(installDir_).empty());
}

std::string SmallArchive() {
  return Archive({PayloadFile(DownloaderItem(), "not started"), PayloadFile("/a.txt", "alpha")});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnopenablePayloadTest,
    ::testing::Values(UnopenableCase{"BareEndRecord", Archive({}), 129},
                      UnopenableCase{"NotAZip", "This resource holds plain text, not a ZIP archive.\r\n", 129},
                      UnopenableCase{"EndRecordCutOff", SmallArchive().substr(0, SmallArchive().size() - 22), 129},
                      UnopenableCase{"AnotherIdentifier", SmallArchive(), 130}),
    [](const ::testing::TestParamInfo<UnopenableCase> &info) { return info.param.what; });

}  // namespace
