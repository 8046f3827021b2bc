// End-to-end runs of launcher.exe with an unusual local application-data
// folder, set through the current user's "Local AppData" shell folder for
// the length of one test (put back afterwards, also when the test fails).
//
// When the folder cannot be had the run must print its one narrow line and
// end with -3 without touching anything. When it is so deep that the
// install directory, or the downloader's path built from it, would pass the
// 259-character limit, the run must refuse at exactly that point instead of
// writing through a cut-off path.

#include "e2e_common.h"

namespace {

using LocalAppDataTest = LauncherRunTest;

TEST_F(LocalAppDataTest, UnavailableFolderEndsTheRunWithMinusThree) {
  const std::string payload = Archive({DownloaderFile()});
  ProgramRun run;
  {
    LocalAppDataOverride broken(L"Q:\\nope");  // a drive that is not mapped
    ASSERT_TRUE(broken.applied());
    ASSERT_EQ(L"", LocalAppDataDir()) << "the shell still finds the folder";
    RunLauncher(payload, &run);
  }
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0xFFFFFFFDu, run.exitCode);
  EXPECT_TRACE("Get Local Path Failed LastErrorID:{int}", run.output);
  EXPECT_EQ(std::string::npos, run.output.find('-')) << "the code is printed unsigned";
  EXPECT_FALSE(DirectoryExists(installRoot_));
  EXPECT_EQ(std::vector<std::string>{"launcher.exe"}, TreeOf(work_.path()));
}

// Local appdata folders of an exact length below the work folder, so that
// the install directory ("\selvane\downloader\tarnis\" behind it, 27 more
// characters) lands just on either side of the limits.
enum class Expect {
  kDirTooLong,       // "Install directory too long:<path>", exit -4, nothing made
  kLauncherTooLong,  // everything installed, Start refuses "dw_dlr.exe"
  kLaunched,         // everything installed, the downloader starts
};
struct DeepCase {
  const char *what;
  size_t installDirLength;
  bool downloaderItem;  // the payload holds "dw_dlr.exe" (else it is empty)
  Expect expect;
};
void PrintTo(const DeepCase &c, std::ostream *os) { *os << c.what; }

class DeepLocalAppDataTest : public LauncherRunTest, public ::testing::WithParamInterface<DeepCase> {
 protected:
  // A folder path of exactly `length` characters below the work folder, in
  // components the file system accepts.
  std::wstring FolderOfLength(size_t length) {
    std::wstring path = work_.path() + L"appdata";
    while (path.size() < length) {
      size_t part = std::min<size_t>(100, length - path.size() - 1);
      if (part == 0) {  // one character left: lengthen the last component instead
        path += L'x';
        break;
      }
      path += L"\\" + std::wstring(part, L'd');
    }
    return path;
  }
};

TEST_P(DeepLocalAppDataTest, RespectsThePathLimit) {
  const std::wstring suffix = EXPECTED_INSTALL_SUFFIX;
  const std::wstring appData = FolderOfLength(GetParam().installDirLength - suffix.size());
  const std::wstring installDir = appData + suffix;
  ASSERT_EQ(GetParam().installDirLength, installDir.size());
  const FixtureEntry downloader = PayloadFile(Narrow(EXPECTED_DOWNLOADER_NAME), DownloaderBytes());
  std::vector<PlannedItem> items;
  if (GetParam().downloaderItem) items.push_back({downloader, Fate::kWritten});
  const std::string payload = items.empty() ? EmptyArchive() : Archive(EntriesOf(items));

  ProgramRun run;
  {
    LocalAppDataOverride deep(appData);
    ASSERT_TRUE(deep.applied());
    ASSERT_EQ(appData, LocalAppDataDir()) << "the shell does not take the folder as it is";
    RunLauncher(payload, &run);
  }
  ASSERT_TRUE(run.finished);

  switch (GetParam().expect) {
    case Expect::kDirTooLong:
      EXPECT_EQ(0xFFFFFFFCu, run.exitCode);
      EXPECT_EQ("Install directory too long:" + Narrow(installDir) + "\r\n", run.output);
      EXPECT_TRUE(TreeOf(appData).empty()) << "something was made below local appdata";
      break;
    case Expect::kLauncherTooLong: {
      EXPECT_EQ(0u, run.exitCode);
      Trace expected(installDir);
      expected.Dir().Extract();
      if (GetParam().downloaderItem) expected.UnZip(downloader.name, 0);
      expected.Check();
      if (GetParam().downloaderItem) expected.CheckFile(downloader.name);
      expected.Start().Line("Path too long:" + downloader.name);
      EXPECT_TRACE(expected.pattern(), run.output);
      if (GetParam().downloaderItem) ExpectInstalled(installDir, downloader);
      EXPECT_FALSE(FileExists(installDir + kDownloaderRecord)) << "the downloader was started";
      break;
    }
    case Expect::kLaunched:
      EXPECT_EQ(0u, run.exitCode);
      EXPECT_TRACE(PlannedTrace(installDir, items, true), run.output);
      ASSERT_NO_FATAL_FAILURE(WaitForDownloaderToEnd(installDir));
      ExpectInstalled(installDir, downloader);
      break;
  }
}

// 259 characters hold the install directory, and the item path (install
// directory + "dw_dlr.exe") and the downloader's path (install directory +
// "\dw_dlr.exe", one more) must fit in 259 too.
INSTANTIATE_TEST_SUITE_P(Cases, DeepLocalAppDataTest,
                         ::testing::Values(DeepCase{"InstallDirOfTwoHundredSixty", 260, true, Expect::kDirTooLong},
                                           DeepCase{"InstallDirOfTwoHundredFiftyNine", 259, false, Expect::kLauncherTooLong},
                                           DeepCase{"LauncherPathOfTwoHundredSixty", 249, true, Expect::kLauncherTooLong},
                                           DeepCase{"LauncherPathOfTwoHundredFiftyNine", 248, true, Expect::kLaunched}),
                         [](const ::testing::TestParamInfo<DeepCase> &info) { return info.param.what; });

}  // namespace
