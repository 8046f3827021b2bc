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

// Starts the child with the given exit-code argument. useStdHandles: pass
// stdout (the parent's stdin and stderr beside it); otherwise the child is
// started detached, with no standard handles of its own.
ChildRun RunChild(int code, bool useStdHandles, HANDLE stdoutHandle) {
  std::wstring command = L"\"" + ChildPath() + L"\" " + std::to_wstring(code);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  DWORD flags = 0;
  if (useStdHandles) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = stdoutHandle;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  } else {
    flags = DETACHED_PROCESS;
  }
  PROCESS_INFORMATION process = {};
  ChildRun run;
  run.started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, useStdHandles, flags, nullptr, nullptr,
                               &startup, &process) != 0;
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
  ChildRun run = RunChild(5, true, out);
  CloseHandle(out);
  ASSERT_TRUE(run.started) << GetLastError();
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, 5u);
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(outPath, &bytes));
  EXPECT_EQ(bytes.size(), ExpectedOutput().size());
  EXPECT_EQ(bytes, ExpectedOutput());
}

enum class NoOutput { Detached, NullHandle, InvalidHandle, UnknownHandle, ReadOnlyFile };

struct NoOutputCase {
  const char *name;
  NoOutput kind;
  int exitCode;
};

class WithoutStandardOutput : public ::testing::TestWithParam<NoOutputCase> {};

TEST_P(WithoutStandardOutput, ChildGoesOnAndKeepsItsExitCode) {
  const NoOutputCase &c = GetParam();
  TempDir dir;
  std::wstring readOnlyPath = dir / L"readonly.txt";
  ChildRun run;
  switch (c.kind) {
    case NoOutput::Detached: run = RunChild(c.exitCode, false, nullptr); break;
    case NoOutput::NullHandle: run = RunChild(c.exitCode, true, nullptr); break;
    case NoOutput::InvalidHandle: run = RunChild(c.exitCode, true, INVALID_HANDLE_VALUE); break;
    case NoOutput::UnknownHandle: run = RunChild(c.exitCode, true, (HANDLE)(UINT_PTR)0x7FF0); break;
    case NoOutput::ReadOnlyFile: {
      // A handle that exists but refuses writes: every WriteFile fails.
      ASSERT_TRUE(WriteWholeFile(readOnlyPath, ""));
      HANDLE h = OpenInheritable(readOnlyPath, GENERIC_READ, OPEN_EXISTING);
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      run = RunChild(c.exitCode, true, h);
      CloseHandle(h);
      break;
    }
  }
  ASSERT_TRUE(run.started) << GetLastError();
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exitCode, (DWORD)c.exitCode);
  if (c.kind == NoOutput::ReadOnlyFile) {
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(readOnlyPath, &bytes));
    EXPECT_EQ(bytes, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Runtime, WithoutStandardOutput,
                         ::testing::Values(NoOutputCase{"Detached", NoOutput::Detached, 0},
                                           NoOutputCase{"NullHandle", NoOutput::NullHandle, -3},
                                           NoOutputCase{"InvalidHandle", NoOutput::InvalidHandle, 7},
                                           NoOutputCase{"UnknownHandle", NoOutput::UnknownHandle, 42},
                                           NoOutputCase{"ReadOnlyFile", NoOutput::ReadOnlyFile, -4}),
                         [](const ::testing::TestParamInfo<NoOutputCase> &info) { return info.param.name; });

}  // namespace
