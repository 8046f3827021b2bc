#include "e2e_common.h"

#include <algorithm>
#include <climits>

namespace {

// MS-DOS date (high half) and time of a Unix time seen eight hours east of
// UTC, odd seconds rounded up, as the release tool writes them.
uint32_t DosDateTimeOf(int32_t unixTime) {
  long long t = (long long)unixTime + 8 * 3600;
  if (t % 2) t++;
  const uint64_t value = FileTimeOfUnix(t);
  FILETIME ft = {(DWORD)value, (DWORD)(value >> 32)};
  SYSTEMTIME st;
  FileTimeToSystemTime(&ft, &st);
  uint32_t date = ((st.wYear - 1980) << 9) | (st.wMonth << 5) | st.wDay;
  uint32_t clock = (st.wHour << 11) | (st.wMinute << 5) | (st.wSecond / 2);
  return (date << 16) | clock;
}

std::string Utf16Text(const std::wstring &text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes += (char)(c & 0xFF);
    bytes += (char)(c >> 8);
  }
  return bytes;
}

std::string ProgramBytes(const std::wstring &path) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(path, &bytes)) << Narrow(path);
  return bytes;
}

std::wstring ThisProgramDir() {
  wchar_t path[MAX_PATH * 2] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  std::wstring dir = path;
  return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::string WithoutTrailingBackslash(std::string path) {
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

std::string LowerCase(std::string text) {
  for (char &c : text)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return text;
}

}  // namespace

// ---- Payload items ------------------------------------------------------------

FixtureEntry PayloadFile(const std::string &name, const std::string &data, int32_t mtime,
                         uint32_t externalAttributes) {
  FixtureEntry e;
  e.name = name;
  e.data = data;
  e.dosDateTime = DosDateTimeOf(mtime);
  e.externalAttributes = externalAttributes;
  e.localExtra = UtExtra(7, {mtime, mtime + 1000, mtime - 1000});
  e.centralExtra = UtExtra(7, {mtime});
  return e;
}

FixtureEntry PayloadDirectory(const std::string &name) {
  FixtureEntry e = PayloadFile(name, "");
  e.method = 0;
  e.externalAttributes = kDirectoryAttributes;
  return e;
}

int32_t PayloadModifyTime(const FixtureEntry &entry) {
  // PayloadFile puts the "UT" record first: ID, size, flags, then mtime.
  const std::string &x = entry.localExtra;
  if (x.size() < 9 || x[0] != 'U' || x[1] != 'T' || !(x[4] & 1)) return INT_MIN;
  return (int32_t)((uint8_t)x[5] | (uint8_t)x[6] << 8 | (uint8_t)x[7] << 16 | (uint32_t)(uint8_t)x[8] << 24);
}

std::string DownloaderBytes() { return ProgramBytes(BuildDir() + EXPECTED_DOWNLOADER_NAME); }
std::string DownloaderItem() { return "/" + Narrow(EXPECTED_DOWNLOADER_NAME); }
FixtureEntry DownloaderFile() { return PayloadFile(DownloaderItem(), DownloaderBytes()); }

std::wstring InstallSuffixLevels(int levels) {
  const std::wstring suffix = EXPECTED_INSTALL_SUFFIX;
  size_t end = 0;
  for (int i = 0; i < levels; i++) end = suffix.find(L'\\', end + 1);
  return suffix.substr(1, end - 1);
}

std::wstring RemovalFaultsLauncher() { return ThisProgramDir() + L"e2e_launcher_removal_faults.exe"; }

std::string SleeperBytes() { return ProgramBytes(ThisProgramDir() + L"e2e_sleeper.exe"); }

std::vector<FixtureEntry> ShippedLikeItems() {
  ZipFixture skin;
  skin.entries = {PayloadFile("skin.xml", "<skin><window w=\"640\" h=\"480\"/></skin>\r\n"),
                  PayloadFile("bg.bmp", SampleData(3000, 9))};
  std::vector<FixtureEntry> items = {
      PayloadFile("/crashrpt_lang.ini", Utf16Text(L"[Settings]\r\nLangFile=zh-CN\r\n"), kPayloadTime - 86400),
      PayloadFile("/CrashSender.exe", SampleData(40000, 2), kPayloadTime - 7200),
      PayloadFile("/dbghelp.dll", SampleData(30000, 3), kPayloadTime - 3600),
      PayloadFile("/download.torrent", "d8:announce" + SampleData(5000, 4) + "e", kPayloadTime - 60,
                  kArchiveFileAttributes),
      PayloadFile("/downloader.skin", skin.Build(), kPayloadTime - 1),
      PayloadFile(DownloaderItem(), DownloaderBytes(), kPayloadTime),
      PayloadFile("/install.ini", "[install]\r\nchannel=demo\r\nver=1\r\n", kPayloadTime + 1),
      PayloadFile("/wke.dll", SampleData(100000, 5), kPayloadTime + 2),  // several 16 KiB pieces
      PayloadFile("union.db", "union_id=000000\r\n", kPayloadTime + 3, kArchiveFileAttributes),
      PayloadFile("/stored.txt", "kept as it is, not deflated\r\n", kPayloadTime + 4),
      PayloadFile("/empty.log", "", kPayloadTime + 5),
      PayloadFile("/readonly.dat", "only for reading\r\n", kPayloadTime + 6, 0x81240000),
      PayloadFile("/hidden.dat", "out of sight\r\n", kPayloadTime + 7, 0x81800002),
  };
  items[9].method = 0;
  return items;
}

std::string Archive(const std::vector<FixtureEntry> &entries) {
  ZipFixture zip;
  zip.entries = entries;
  return zip.Build();
}

std::string EmptyArchive() {
  ZipFixture zip;
  zip.prefix = "no items\r\n";
  return zip.Build();
}

// ---- Expected trace -------------------------------------------------------------

Trace &Trace::UnZip(const std::string &name, unsigned code) {
  char hex[16];
  wsprintfA(hex, "%08X", code);
  return Line("UnZipItem(" + name + ")=" + hex);
}

std::string PlannedTrace(const std::wstring &installDir, const std::vector<PlannedItem> &items, bool launcherThere) {
  Trace trace(installDir);
  trace.Dir().Extract();
  for (size_t i = 0; i < items.size(); i++) {
    const std::string &name = items[i].entry.name;
    switch (items[i].fate) {
      case Fate::kWritten: trace.UnZip(name, 0); break;
      case Fate::kCreateFailed: trace.UnZip(name, 0x200); break;
      case Fate::kWriteFailed: trace.UnZip(name, 0x400); break;
      case Fate::kDirectory: break;
      case Fate::kUnsafe: trace.Line("Unsafe name:" + name); break;
      case Fate::kTooLong: trace.Line("Path too long:" + name); break;
      case Fate::kBadLocalHeader: trace.Line("GetZipItemInfo(" + std::to_string(i) + ")=00000700"); break;
    }
  }
  trace.Check();
  bool complete = true;
  for (size_t i = 0; i < items.size() && complete; i++) {
    const std::string &name = items[i].entry.name;
    switch (items[i].fate) {
      case Fate::kWritten: trace.CheckFile(name); break;
      case Fate::kCreateFailed:
      case Fate::kWriteFailed: trace.CheckFile(name); complete = false; break;
      case Fate::kDirectory: break;
      case Fate::kUnsafe: trace.Line("Unsafe name:" + name); complete = false; break;
      case Fate::kTooLong: trace.Line("Path too long:" + name); complete = false; break;
      case Fate::kBadLocalHeader:
        trace.Line("GetZipItemInfo(" + std::to_string(i) + ")=00000700");
        complete = false;
        break;
    }
  }
  if (complete) {
    trace.Start();
    if (launcherThere) trace.ShellExecute();
  } else {
    trace.NotFinished();
  }
  return trace.pattern();
}

std::vector<FixtureEntry> EntriesOf(const std::vector<PlannedItem> &items) {
  std::vector<FixtureEntry> entries;
  for (const PlannedItem &item : items) entries.push_back(item.entry);
  return entries;
}

::testing::AssertionResult TraceIs(const char *patternText, const char *actualText, const std::string &pattern,
                                   const std::string &actual) {
  if (TraceMatches(pattern, actual)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << actualText << " is not the trace " << patternText << "\nexpected:\n"
                                       << ShowControlCharacters(pattern) << "\n----\nactual:\n"
                                       << ShowControlCharacters(actual) << "\n----";
}

// ---- On disk ----------------------------------------------------------------------

std::vector<std::string> TreeOf(const std::wstring &dir) {
  std::vector<std::string> names;
  for (const TreeEntry &entry : ListTree(dir)) names.push_back(Narrow(entry.path) + (entry.directory ? "\\" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

void MakeInstallDir(const std::wstring &installDir) {
  for (size_t at = installDir.find(L'\\', 3); at != std::wstring::npos; at = installDir.find(L'\\', at + 1))
    CreateDirectoryW(installDir.substr(0, at).c_str(), nullptr);
  ASSERT_TRUE(DirectoryExists(installDir));
}

long long ModifyTimeOf(const std::wstring &path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return LLONG_MIN;
  int64_t unixTime = 0;
  return UnixOfFileTime(FileTimeValue(data.ftLastWriteTime), &unixTime) ? unixTime : LLONG_MIN;
}

bool FileSystemKeepsHidden(const std::wstring &dir) {
  const std::wstring probe = dir + L"hidden_probe.tmp";
  HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  bool kept = (GetFileAttributesW(probe.c_str()) & FILE_ATTRIBUTE_HIDDEN) != 0;
  SetFileAttributesW(probe.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(probe.c_str());
  return kept;
}

void ExpectInstalled(const std::wstring &installDir, const FixtureEntry &entry) {
  const std::wstring path = installDir + Widen(entry.name);
  SCOPED_TRACE(entry.name);
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(path, &bytes)) << "not installed";
  EXPECT_TRUE(bytes == entry.data) << "content differs (" << bytes.size() << " bytes, expected "
                                   << entry.data.size() << ")";
  // Read-only when the Unix owner-write bit is clear or the MS-DOS bit is set;
  // hidden and system straight from the MS-DOS bits.
  const uint32_t ext = entry.externalAttributes;
  DWORD expected = (!(ext & 0x00800000) || (ext & 1) ? FILE_ATTRIBUTE_READONLY : 0) |
                   (ext & FILE_ATTRIBUTE_HIDDEN) | (ext & FILE_ATTRIBUTE_SYSTEM);
  DWORD mask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM;
  if (FileSystemKeepsHidden(installDir)) mask |= FILE_ATTRIBUTE_HIDDEN;
  DWORD actual = GetFileAttributesW(path.c_str());
  EXPECT_EQ(expected & mask, actual & mask) << "attributes 0x" << std::hex << actual;
  EXPECT_EQ(PayloadModifyTime(entry), ModifyTimeOf(path)) << "modification time";
}

void ExpectDownloaderStarted(const std::wstring &installDir) {
  const std::wstring record = installDir + kDownloaderRecord;
  std::string text;
  const DWORD start = GetTickCount();
  // The record is complete once its command line has a line end.
  while (!(ReadWholeFile(record, &text) && text.find("cmdline=") != std::string::npos &&
           text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)) {
    ASSERT_LT(GetTickCount() - start, kPatienceMs) << "the downloader left no record in " << Narrow(installDir);
    Sleep(25);
  }
  const std::string dir = Narrow(installDir);
  size_t cwd = text.find("cwd=");
  ASSERT_NE(std::string::npos, cwd) << text;
  std::string cwdValue = text.substr(cwd + 4, text.find("\r\n", cwd) - cwd - 4);
  EXPECT_EQ(LowerCase(WithoutTrailingBackslash(dir)), LowerCase(WithoutTrailingBackslash(cwdValue)));
  EXPECT_NE(std::string::npos, LowerCase(text).find(LowerCase(dir + "\\" + Narrow(EXPECTED_DOWNLOADER_NAME))))
      << "started through another path than the traced one:\n" << text;
}

void WaitForDownloaderToEnd(const std::wstring &installDir) {
  ASSERT_NO_FATAL_FAILURE(ExpectDownloaderStarted(installDir));
  ASSERT_TRUE(WaitUntilWritable(installDir + EXPECTED_DOWNLOADER_NAME, kPatienceMs)) << "the downloader does not end";
}

// ---- Fixture ----------------------------------------------------------------------

void LauncherRunTest::SetUp() {
  installDir_ = LauncherInstallDir();
  ASSERT_NE(EXPECTED_INSTALL_SUFFIX, installDir_) << "no local application-data folder";
  installRoot_ = LauncherInstallRoot();
  ASSERT_TRUE(RemovePathPatiently(installRoot_)) << "cannot clear " << Narrow(installRoot_);
  sleeperReady_ = CreateEventW(nullptr, FALSE, FALSE, kSleeperReadyEvent);
  sleeperRelease_ = CreateEventW(nullptr, TRUE, FALSE, kSleeperReleaseEvent);
  ASSERT_TRUE(sleeperReady_ && sleeperRelease_);
  ResetEvent(sleeperReady_);
  ResetEvent(sleeperRelease_);
}

void LauncherRunTest::TearDown() {
  if (sleeperRelease_) SetEvent(sleeperRelease_);
  EXPECT_TRUE(RemovePathPatiently(installRoot_)) << "cannot clear " << Narrow(installRoot_);
  if (sleeperReady_) CloseHandle(sleeperReady_);
  if (sleeperRelease_) CloseHandle(sleeperRelease_);
}

void LauncherRunTest::RunLauncher(const std::string &payload, ProgramRun *run, WORD resourceId) {
  const std::wstring exe = work_ / L"launcher.exe";
  std::string error;
  ASSERT_TRUE(WriteLauncherWithPayload(exe, payload, resourceId, &error, program_)) << error;
  *run = RunCapturingStdout(exe, work_.path());
  ASSERT_TRUE(run->started) << "the launcher did not start";
  ASSERT_TRUE(run->finished) << "the launcher did not end";
}

void LauncherRunTest::RunLauncherExpecting(const std::string &payload, DWORD exitCode, std::string *output,
                                           WORD resourceId) {
  ProgramRun run;
  ASSERT_NO_FATAL_FAILURE(RunLauncher(payload, &run, resourceId));
  EXPECT_EQ(exitCode, run.exitCode);
  *output = run.output;
}
