// CreateDirectoryTree on paths of every root form.
//
// The install directory comes from the user's local application-data
// folder, which may be a network share ("\\server\share\...", folder
// redirection) or carry the "\\?\" prefix. Its root must stay as it is: a
// chain cut loose from its root would be made below the current directory,
// for a launcher double-clicked in the Downloads folder right there. So
// every case runs with a fresh, empty current directory, which must stay
// empty, and the chain must appear where the path says or nowhere.

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loader.h"
#include "test_files.h"

namespace {

class DirectoryTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = CurrentDirectory();
    ASSERT_TRUE(SetCurrentDirectoryW(current_.path().c_str()));
  }
  void TearDown() override {
    SetCurrentDirectoryW(saved_.c_str());
    EXPECT_TRUE(ListDir(current_.path()).empty()) << "something was made below the current directory";
  }

  TempDir current_;  // the current directory during the test
  TempDir target_;   // where chains with a local root belong
  std::wstring saved_;
};

// Roots that name a place: the whole chain is made there.
TEST_F(DirectoryTreeTest, ChainIsMadeBelowItsRoot) {
  const std::wstring base = target_.path();  // "C:\...\"
  ASSERT_EQ(L':', base[1]);
  struct Row {
    const char *what;
    std::wstring path;
    std::wstring made;  // below target_
  } rows[] = {
      {"drive letter", base + L"d1\\d2\\d3\\", L"d1\\d2\\d3"},
      {"forward slashes", base + L"f1/f2", L"f1\\f2"},
      {"root of the current drive", base.substr(2) + L"r1\\r2\\", L"r1\\r2"},
      {"long-path prefix", L"\\\\?\\" + base + L"p1\\p2\\p3\\", L"p1\\p2\\p3"},
      {"device-namespace prefix", L"\\\\.\\" + base + L"n1\\n2\\", L"n1\\n2"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    CreateDirectoryTree(r.path.c_str());
    EXPECT_TRUE(DirectoryExists(base + r.made)) << Narrow(r.path);
  }
}

// Roots that cannot be reached here (no such server) or do not name a
// place at all: nothing may be made anywhere, least of all below the
// current directory.
TEST_F(DirectoryTreeTest, UnreachableOrMissingRootMakesNothing) {
  const wchar_t *paths[] = {
      L"\\\\nosuchserver\\share\\users\\x\\AppData\\Local\\selvane\\downloader\\tarnis\\",
      L"//nosuchserver/share/users/x/",
      L"\\\\?\\UNC\\nosuchserver\\share\\users\\x\\",
      L"relative\\selvane\\downloader\\",
      L"C:drive-relative\\selvane\\",
  };
  for (const wchar_t *p : paths) {
    SCOPED_TRACE(Narrow(p));
    CreateDirectoryTree(p);
    EXPECT_TRUE(ListDir(current_.path()).empty());
  }
  EXPECT_TRUE(ListDir(target_.path()).empty());
}

}  // namespace
