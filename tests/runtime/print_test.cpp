// The runtime's prints on a real standard output (RtPrintW, RtPrintA).
//
// A child program built like the launcher (no C runtime, GUI subsystem)
// prints a fixed script. With its standard output redirected to a file the
// file must hold exactly the expected bytes, CR LF line ends included, also
// where a line crosses the print's internal buffer. Without a usable
// standard output - none at all, an invalid handle, a handle that refuses
// writes - the prints must drop the text and the child must go on to exit
// with the code it was asked for. The child keeps the parent's standard
// input throughout: Wine cannot start a program with stdin and stdout both
// closed.
#include <string>

#include "gtest/gtest.h"
#include "rt.h"
#include "test_files.h"

namespace {

std::wstring ChildPath() {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"print_child.exe";
}

std::string ExpectedOutput() {
  std::string text;
  text += "dir:C:\\users\\caf\xE9\\?\\\r\n";
  text += "narrow text -2147483648 4294967295\r\n";
  text += "UnZipItem(3)=00000400\r\n";
  text += std::string(511, 'x') + "\r\n";
  std::string letters;
  for (int i = 0; i < 1500; i++) letters += (char)('a' + i % 26);
  text += "<" + letters + ">\r\n";
  text += "end without a line feed";
  return text;
}

struct ChildRun {
  bool started = false;
  bool ended = false;
  DWORD exitCode = 0;
};

// Starts the child with the given arguments. stdoutHandle: handed over as
// standard output (the parent's stdin and stderr beside it); null: the
// child is started detached, with no standard handles at all.
ChildRun RunChild(const std::wstring &arguments, HANDLE stdoutHandle) {
  std::wstring command = L"\"" + ChildPath() + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  DWORD flags = 0;
  if (stdoutHandle) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = stdoutHandle;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  } else {
    flags = DETACHED_PROCESS;
  }
  PROCESS_INFORMATION process = {};
  ChildRun run;
  run.started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, stdoutHandle != nullptr, flags, nullptr,
                               nullptr, &startup, &process) != 0;
  if (!run.started) return run;
  // Generous: only a hung child ever waits this long.
  run.ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
  if (!run.ended) TerminateProcess(process.hProcess, 1);
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return run;
}

HANDLE OpenInheritable(const std::wstring &path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(RuntimePrint, RedirectedOutputHoldsExactlyTheText) {
  TempDir dir;
  std::wstring outPath = dir / L"out.txt";
  HANDLE out = OpenInheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  ChildRun run = RunChild(L"5", out);
  CloseHandle(out);
  ASSERT_TRUE(run.started) << GetLastError();
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, 5u);
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(outPath, &bytes));
  EXPECT_EQ(bytes.size(), ExpectedOutput().size());
  EXPECT_EQ(bytes, ExpectedOutput());
}

struct NoOutputCase {
  const char *name;
  const wchar_t *mode;  // the child's second argument
  DWORD access;         // of the file handed over as stdout; 0: none (detached)
  int exitCode;
};

class WithoutStandardOutput : public ::testing::TestWithParam<NoOutputCase> {};

TEST_P(WithoutStandardOutput, ChildGoesOnAndKeepsItsExitCode) {
  const NoOutputCase &c = GetParam();
  TempDir dir;
  std::wstring outPath = dir / L"out.txt";
  ASSERT_TRUE(WriteWholeFile(outPath, ""));
  HANDLE out = nullptr;
  if (c.access) {
    out = OpenInheritable(outPath, c.access, OPEN_EXISTING);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
  }
  ChildRun run = RunChild(std::to_wstring(c.exitCode) + L" " + c.mode, out);
  if (out) CloseHandle(out);
  ASSERT_TRUE(run.started) << GetLastError();
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, (DWORD)c.exitCode);
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(outPath, &bytes));
  EXPECT_EQ(bytes, "");
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, WithoutStandardOutput,
    ::testing::Values(
        // No standard output at all: what a double-clicked GUI program gets.
        NoOutputCase{"Detached", L"", 0, -3},
        // A handle that exists but refuses writes: every WriteFile fails.
        NoOutputCase{"ReadOnlyFile", L"", GENERIC_READ, -4},
        NoOutputCase{"InvalidHandleValue", L"invalid", GENERIC_WRITE, 7},
        NoOutputCase{"HandleNamingNothing", L"bogus", GENERIC_WRITE, 42},
        NoOutputCase{"ClosedHandle", L"closed", GENERIC_WRITE, 0}),
    [](const ::testing::TestParamInfo<NoOutputCase> &info) { return info.param.name; });

}  // namespace
