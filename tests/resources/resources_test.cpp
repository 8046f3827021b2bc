// The launcher's resources as the shell and the loader see them.
//
// The built launcher.exe is loaded as a data file and read back through the
// same calls Windows uses: the resource enumeration (which types, names and
// languages exist, and nothing more), FindResourceW for the payload as the
// loader asks for it, the icon groups and their images as the shell picks
// them, the string table block, the version block through
// GetFileVersionInfoW/VerQueryValueW plus its raw layout (so that a stray
// extra field shows up), and the manifest's elements and attributes.
// Branding texts are compared with what this build tree was configured with,
// so the test holds for a publisher's build as much as for the demo.

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "expected_branding.h"
#include "expected_facts.h"
#include "test_files.h"

namespace {

const WORD kChinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);  // 2052
const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);       // 1033

std::wstring FromUtf8(const char *text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], n);
  return out;
}

std::wstring AsciiUpper(std::wstring s) {
  for (wchar_t &c : s)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  return s;
}

std::wstring LauncherPath() { return BuildDir() + L"launcher.exe"; }

// A file of the build tree by its Unix path (WindowsPathOfUnix makes folders).
std::wstring FileOfUnix(const char *unixPath) {
  std::wstring path = WindowsPathOfUnix(unixPath);
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

uint16_t U16(const std::string &b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}
uint32_t U32(const std::string &b, size_t at) { return U16(b, at) | static_cast<uint32_t>(U16(b, at + 2)) << 16; }
uint32_t U32BigEndian(const std::string &b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; i++) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}

// ---- Resource enumeration ----------------------------------------------------

// Integer identifiers as "#n", string identifiers as they are.
std::wstring IdText(LPCWSTR id) {
  if (IS_INTRESOURCE(id)) return L"#" + std::to_wstring(reinterpret_cast<UINT_PTR>(id));
  return id;
}

using ResourceTable = std::map<std::wstring, std::map<std::wstring, std::set<WORD>>>;

BOOL CALLBACK OnLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR table) {
  (*reinterpret_cast<ResourceTable *>(table))[IdText(type)][IdText(name)].insert(language);
  return TRUE;
}
BOOL CALLBACK OnName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR table) {
  EnumResourceLanguagesW(module, type, name, OnLanguage, table);
  return TRUE;
}
BOOL CALLBACK OnType(HMODULE module, LPWSTR type, LONG_PTR table) {
  EnumResourceNamesW(module, type, OnName, table);
  return TRUE;
}

class LauncherResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = LoadLibraryExW(LauncherPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  }
  static void TearDownTestSuite() {
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot load " << Narrow(LauncherPath()); }

  // The bytes of one resource in one language; false when there is none.
  static bool Bytes(LPCWSTR type, LPCWSTR name, WORD language, std::string *out) {
    HRSRC found = FindResourceExW(module_, type, name, language);
    if (!found) return false;
    const char *data = static_cast<const char *>(LockResource(LoadResource(module_, found)));
    if (!data) return false;
    out->assign(data, SizeofResource(module_, found));
    return true;
  }
  static std::string MustRead(LPCWSTR type, int id, WORD language = kChinese) {
    std::string bytes;
    EXPECT_TRUE(Bytes(type, MAKEINTRESOURCEW(id), language, &bytes))
        << "no resource " << Narrow(IdText(type)) << " " << id << " in language " << language;
    return bytes;
  }

  static HMODULE module_;
};
HMODULE LauncherResources::module_ = nullptr;

TEST_F(LauncherResources, TableHoldsExactlyTheListedTypesNamesAndLanguages) {
  ResourceTable actual;
  ASSERT_TRUE(EnumResourceTypesW(module_, OnType, reinterpret_cast<LONG_PTR>(&actual)));

  ResourceTable expected;
  expected[EXPECTED_PAYLOAD_TYPE][L"#" + std::to_wstring(EXPECTED_PAYLOAD_ID)] = {kChinese};
  for (int id = 1; id <= 10; id++) expected[L"#3"][L"#" + std::to_wstring(id)] = {kChinese};  // RT_ICON
  expected[L"#6"][L"#7"] = {kChinese};                                                        // RT_STRING
  expected[L"#14"][L"#107"] = {kChinese};                                                     // RT_GROUP_ICON
  expected[L"#14"][L"#108"] = {kChinese};
  expected[L"#16"][L"#1"] = {kChinese};    // RT_VERSION
  expected[L"#24"][L"#1"] = {kEnglishUs};  // RT_MANIFEST
  EXPECT_EQ(actual, expected);
}

// ---- Payload ---------------------------------------------------------------------

TEST_F(LauncherResources, PayloadIsTheValidatedArchiveAndTheLoaderFindsItWithoutALanguage) {
  std::string embedded = MustRead(EXPECTED_PAYLOAD_TYPE, EXPECTED_PAYLOAD_ID);
  std::string validated;
  ASSERT_TRUE(ReadWholeFile(FileOfUnix(EXPECTED_PAYLOAD_FILE), &validated));
  EXPECT_TRUE(embedded == validated) << "embedded " << embedded.size() << " bytes, validated "
                                     << validated.size();

  // The loader's own lookup: a numeric name, a type string, no language.
  HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(EXPECTED_PAYLOAD_ID), EXPECTED_PAYLOAD_TYPE);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(SizeofResource(module_, found), embedded.size());

  // Nothing around the archive: a local header first, the end record last.
  ASSERT_GE(embedded.size(), 22u);
  EXPECT_EQ(U32(embedded, 0), 0x04034B50u);
  EXPECT_EQ(U32(embedded, embedded.size() - 22), 0x06054B50u);
}

// ---- Icons -------------------------------------------------------------------------

struct IconImage {
  int size;        // pixels
  uint32_t bytes;  // 0: a PNG, any length
};
// Both groups list these images in this order.
const IconImage kImages[] = {{256, 0}, {64, 16936}, {48, 9640}, {32, 4264}, {16, 1128}};

TEST_F(LauncherResources, IconGroupsListTheFiveImagesInOrder) {
  const struct {
    int group;
    int firstIcon;
  } groups[] = {{107, 1}, {108, 6}};
  for (const auto &g : groups) {
    SCOPED_TRACE("group " + std::to_string(g.group));
    std::string dir = MustRead(RT_GROUP_ICON, g.group);
    ASSERT_EQ(dir.size(), 6u + 5 * 14);
    EXPECT_EQ(U16(dir, 0), 0);  // reserved
    EXPECT_EQ(U16(dir, 2), 1);  // icons, not cursors
    ASSERT_EQ(U16(dir, 4), 5);
    for (int i = 0; i < 5; i++) {
      SCOPED_TRACE("entry " + std::to_string(i + 1));
      size_t at = 6 + 14 * i;
      int dimension = kImages[i].size == 256 ? 0 : kImages[i].size;
      EXPECT_EQ(static_cast<uint8_t>(dir[at]), dimension);      // width
      EXPECT_EQ(static_cast<uint8_t>(dir[at + 1]), dimension);  // height
      EXPECT_EQ(dir[at + 2], 0);                                // colour count
      EXPECT_EQ(dir[at + 3], 0);                                // reserved
      EXPECT_EQ(U16(dir, at + 4), 1);                           // planes
      EXPECT_EQ(U16(dir, at + 6), 32);                          // bits per pixel
      EXPECT_EQ(U16(dir, at + 12), g.firstIcon + i);            // icon resource
      std::string image = MustRead(RT_ICON, g.firstIcon + i);
      EXPECT_EQ(U32(dir, at + 8), image.size());
      if (kImages[i].bytes) {
        EXPECT_EQ(U32(dir, at + 8), kImages[i].bytes);
      }
    }
  }
}

TEST_F(LauncherResources, IconImagesHaveTheTabledFormatsAndMasksThatMatchTheirAlpha) {
  for (int i = 0; i < 5; i++) {
    const int n = kImages[i].size;
    SCOPED_TRACE("icon " + std::to_string(i + 1) + ", " + std::to_string(n) + " px");
    std::string image = MustRead(RT_ICON, i + 1);
    EXPECT_TRUE(image == MustRead(RT_ICON, i + 6)) << "group 108 must repeat group 107 byte for byte";
    if (n == 256) {
      ASSERT_GE(image.size(), 33u);
      EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
      EXPECT_EQ(image.substr(12, 4), "IHDR");
      EXPECT_EQ(U32BigEndian(image, 16), 256u);  // width
      EXPECT_EQ(U32BigEndian(image, 20), 256u);  // height
      EXPECT_EQ(image[24], 8);                   // bits per channel
      EXPECT_EQ(image[25], 6);                   // RGBA
      EXPECT_EQ(image[28], 0);                   // not interlaced
      continue;
    }
    const uint32_t maskStride = (n + 31) / 32 * 4;
    ASSERT_EQ(image.size(), 40u + 4u * n * n + maskStride * n);
    EXPECT_EQ(U32(image, 0), 40u);                     // BITMAPINFOHEADER
    EXPECT_EQ(U32(image, 4), static_cast<uint32_t>(n));
    EXPECT_EQ(U32(image, 8), static_cast<uint32_t>(2 * n));  // colour rows + mask rows
    EXPECT_EQ(U16(image, 12), 1);                      // planes
    EXPECT_EQ(U16(image, 14), 32);                     // bits per pixel
    EXPECT_EQ(U32(image, 16), static_cast<uint32_t>(BI_RGB));
    // Shells that ignore alpha draw by the mask: it must be set exactly
    // where a pixel is fully transparent, and the picture must not be empty.
    int opaque = 0, wrongMask = 0;
    for (int y = 0; y < n; y++) {
      for (int x = 0; x < n; x++) {
        uint8_t alpha = static_cast<uint8_t>(image[40 + 4 * (y * n + x) + 3]);
        uint8_t maskByte = static_cast<uint8_t>(image[40 + 4 * n * n + y * maskStride + x / 8]);
        bool transparentByMask = (maskByte & (0x80 >> (x % 8))) != 0;
        if (transparentByMask != (alpha == 0)) wrongMask++;
        if (alpha == 255) opaque++;
      }
    }
    EXPECT_EQ(wrongMask, 0);
    EXPECT_GT(opaque, n * n / 4);
  }
}

TEST_F(LauncherResources, IconImagesAreThoseDerivedFromTheIconSource) {
  std::string ico;
  ASSERT_TRUE(ReadWholeFile(FileOfUnix(EXPECTED_ICON_FILE), &ico));
  ASSERT_GE(ico.size(), 6u + 5 * 16);
  ASSERT_EQ(U16(ico, 4), 5);
  for (int i = 0; i < 5; i++) {
    uint32_t length = U32(ico, 6 + 16 * i + 8), offset = U32(ico, 6 + 16 * i + 12);
    ASSERT_LE(offset + length, ico.size());
    EXPECT_TRUE(ico.substr(offset, length) == MustRead(RT_ICON, i + 1)) << "image " << i + 1;
  }
}

// ---- String table -------------------------------------------------------------------

TEST_F(LauncherResources, StringBlock7HoldsOnlyStrings103And109) {
  std::string block = MustRead(RT_STRING, 7);
  std::map<int, std::wstring> strings;
  size_t at = 0;
  for (int id = 96; id < 112; id++) {  // block 7 holds strings 96 to 111
    ASSERT_LE(at + 2, block.size());
    uint16_t length = U16(block, at);
    at += 2;
    ASSERT_LE(at + 2u * length, block.size());
    if (length) strings[id] = std::wstring(reinterpret_cast<const wchar_t *>(block.data() + at), length);
    at += 2u * length;
  }
  const std::wstring project = FromUtf8(EXPECTED_PROJECT_NAME);
  std::map<int, std::wstring> expected = {{103, project}, {109, AsciiUpper(project)}};
  EXPECT_EQ(strings, expected);
}

// ---- Version block --------------------------------------------------------------------

// "游戏高速下载器": game high-speed downloader.
const wchar_t kFileDescription[] = L"\x6E38\x620F\x9AD8\x901F\x4E0B\x8F7D\x5668";

struct VersionNode {
  std::wstring key;
  std::string value;
  std::vector<VersionNode> children;
};

size_t Align4(size_t x) { return (x + 3) & ~static_cast<size_t>(3); }

// One VS_VERSIONINFO-style node: length, value length, type, key, value,
// children, each part 32-bit aligned.
bool ParseVersionNode(const std::string &b, size_t at, VersionNode *node) {
  if (at + 6 > b.size()) return false;
  size_t end = at + U16(b, at);
  uint16_t valueLength = U16(b, at + 2), type = U16(b, at + 4);
  if (end > b.size()) return false;
  size_t p = at + 6;
  for (; p + 1 < end && U16(b, p); p += 2) node->key += static_cast<wchar_t>(U16(b, p));
  p = Align4(p + 2);
  size_t valueBytes = type == 1 ? 2u * valueLength : valueLength;
  if (p + valueBytes > end) return false;
  node->value = b.substr(p, valueBytes);
  for (p = Align4(p + valueBytes); p < end; p = Align4(p + U16(b, p))) {
    node->children.emplace_back();
    if (!U16(b, p) || !ParseVersionNode(b, p, &node->children.back())) return false;
  }
  return true;
}

std::set<std::wstring> Keys(const VersionNode &node) {
  std::set<std::wstring> keys;
  for (const VersionNode &c : node.children) keys.insert(c.key);
  return keys;
}

class LauncherVersion : public LauncherResources {
 protected:
  void SetUp() override {
    LauncherResources::SetUp();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(LauncherPath().c_str(), &ignored);
    ASSERT_GT(size, 0u);
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(LauncherPath().c_str(), 0, size, block_.data()));
  }
  const void *Query(const wchar_t *path, UINT *length) {
    void *value = nullptr;
    *length = 0;
    if (!VerQueryValueW(block_.data(), path, &value, length)) return nullptr;
    return value;
  }
  std::vector<char> block_;
};

TEST_F(LauncherVersion, FixedPartHasTheTabledValues) {
  UINT length = 0;
  auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(Query(L"\\", &length));
  ASSERT_NE(fixed, nullptr);
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);  // 1.0
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);  // .0.1
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  EXPECT_EQ(fixed->dwFileOS, 0x40004u);  // VOS_NT_WINDOWS32
  EXPECT_EQ(fixed->dwFileType, 1u);      // VFT_APP
  EXPECT_EQ(fixed->dwFileSubtype, 0u);
  EXPECT_EQ(fixed->dwFileDateMS, 0u);
  EXPECT_EQ(fixed->dwFileDateLS, 0u);
}

TEST_F(LauncherVersion, StringsAndTranslationAreChinesePrcUnicode) {
  const struct {
    const wchar_t *key;
    std::wstring value;
  } fields[] = {
      {L"CompanyName", FromUtf8(EXPECTED_COMPANY_NAME)},
      {L"FileDescription", kFileDescription},
      {L"FileVersion", L"1.0.0.1"},
      {L"InternalName", FromUtf8(EXPECTED_INTERNAL_NAME)},
      {L"LegalCopyright", FromUtf8(EXPECTED_COPYRIGHT)},
      {L"OriginalFilename", FromUtf8(EXPECTED_ORIGINAL_FILENAME)},
      {L"ProductName", FromUtf8(EXPECTED_PRODUCT_NAME)},
      {L"ProductVersion", L"1.0.0.1"},
  };
  for (const auto &field : fields) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + field.key;
    UINT length = 0;
    auto *text = static_cast<const wchar_t *>(Query(path.c_str(), &length));
    ASSERT_NE(text, nullptr) << Narrow(path);
    EXPECT_EQ(std::wstring(text), field.value) << Narrow(path);
  }
  for (const wchar_t *name : {L"InternalName", L"OriginalFilename"}) {
    UINT length = 0;
    std::wstring text = static_cast<const wchar_t *>(
        Query((std::wstring(L"\\StringFileInfo\\080404b0\\") + name).c_str(), &length));
    EXPECT_TRUE(text.size() > 4 && text.substr(text.size() - 4) == L".exe") << Narrow(text);
  }

  UINT length = 0;
  auto *translation = static_cast<const WORD *>(Query(L"\\VarFileInfo\\Translation", &length));
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0804);
  EXPECT_EQ(translation[1], 1200);
}

TEST_F(LauncherVersion, BlockHoldsOneStringTableAndNoOtherField) {
  std::string raw = MustRead(RT_VERSION, 1);
  VersionNode root;
  ASSERT_TRUE(ParseVersionNode(raw, 0, &root));
  EXPECT_EQ(root.key, L"VS_VERSION_INFO");
  EXPECT_EQ(root.value.size(), sizeof(VS_FIXEDFILEINFO));
  ASSERT_EQ(Keys(root), (std::set<std::wstring>{L"StringFileInfo", L"VarFileInfo"}));
  for (const VersionNode &child : root.children) {
    if (child.key == L"StringFileInfo") {
      ASSERT_EQ(Keys(child), std::set<std::wstring>{L"080404b0"});
      EXPECT_EQ(Keys(child.children[0]),
                (std::set<std::wstring>{L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName",
                                        L"LegalCopyright", L"OriginalFilename", L"ProductName",
                                        L"ProductVersion"}));
    } else {
      EXPECT_EQ(Keys(child), std::set<std::wstring>{L"Translation"});
    }
  }
}

// ---- Manifest -------------------------------------------------------------------------

struct XmlElement {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::vector<XmlElement> children;
};

// A small reader for the manifest: a declaration, comments, elements with
// attributes, whitespace between them and nothing else (any other text or
// markup fails the read).
class XmlReader {
 public:
  explicit XmlReader(const std::string &text) : s_(text) {}

  bool Document(std::map<std::string, std::string> *declaration, XmlElement *root) {
    if (s_.compare(0, 5, "<?xml") != 0) return false;
    p_ = 5;
    if (!Attributes(declaration)) return false;
    if (s_.compare(p_, 2, "?>") != 0) return false;
    p_ += 2;
    Skip();
    if (!Element(root)) return false;
    Skip();
    return p_ == s_.size();
  }

 private:
  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  static bool IsNameChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == ':' || c == '_' || c == '-' || c == '.'; }

  // Whitespace and comments.
  void Skip() {
    for (;;) {
      while (p_ < s_.size() && IsSpace(s_[p_])) p_++;
      if (s_.compare(p_, 4, "<!--") != 0) return;
      size_t end = s_.find("-->", p_ + 4);
      p_ = end == std::string::npos ? s_.size() : end + 3;
    }
  }
  std::string Name() {
    size_t start = p_;
    while (p_ < s_.size() && IsNameChar(s_[p_])) p_++;
    return s_.substr(start, p_ - start);
  }
  bool Attributes(std::map<std::string, std::string> *out) {
    for (;;) {
      while (p_ < s_.size() && IsSpace(s_[p_])) p_++;
      std::string name = Name();
      if (name.empty()) return true;
      if (p_ + 1 >= s_.size() || s_[p_] != '=' || (s_[p_ + 1] != '"' && s_[p_ + 1] != '\'')) return false;
      char quote = s_[p_ + 1];
      size_t end = s_.find(quote, p_ + 2);
      if (end == std::string::npos) return false;
      std::string value = s_.substr(p_ + 2, end - p_ - 2);
      if (value.find_first_of("<&") != std::string::npos || out->count(name)) return false;
      (*out)[name] = value;
      p_ = end + 1;
    }
  }
  bool Element(XmlElement *e) {
    if (p_ >= s_.size() || s_[p_] != '<') return false;
    p_++;
    e->name = Name();
    if (e->name.empty() || !Attributes(&e->attributes)) return false;
    if (s_.compare(p_, 2, "/>") == 0) {
      p_ += 2;
      return true;
    }
    if (s_.compare(p_, 1, ">") != 0) return false;
    p_++;
    for (;;) {
      Skip();
      if (s_.compare(p_, 2, "</") == 0) {
        p_ += 2;
        if (Name() != e->name) return false;
        while (p_ < s_.size() && IsSpace(s_[p_])) p_++;
        if (s_.compare(p_, 1, ">") != 0) return false;
        p_++;
        return true;
      }
      e->children.emplace_back();
      if (!Element(&e->children.back())) return false;
    }
  }

  const std::string &s_;
  size_t p_ = 0;
};

// A tree in one line, attributes sorted: name[a=v,...](children).
std::string Describe(const XmlElement &e) {
  std::string out = e.name + "[";
  for (const auto &a : e.attributes) out += a.first + "=" + a.second + (a == *e.attributes.rbegin() ? "" : ",");
  out += "](";
  for (const XmlElement &c : e.children) out += Describe(c) + (&c == &e.children.back() ? "" : ",");
  return out + ")";
}

TEST_F(LauncherResources, ManifestRequestsAsInvokerAndDeclaresNothingElse) {
  std::string manifest = MustRead(RT_MANIFEST, 1, kEnglishUs);
  std::map<std::string, std::string> declaration;
  XmlElement root;
  ASSERT_TRUE(XmlReader(manifest).Document(&declaration, &root)) << manifest;

  EXPECT_EQ(declaration["version"], "1.0");
  EXPECT_EQ(AsciiUpper(Widen(declaration["encoding"])), L"UTF-8");
  EXPECT_EQ(declaration["standalone"], "yes");

  XmlElement level{"requestedExecutionLevel", {{"level", "asInvoker"}, {"uiAccess", "false"}}, {}};
  XmlElement privileges{"requestedPrivileges", {}, {level}};
  XmlElement security{"security", {}, {privileges}};
  XmlElement trust{"trustInfo", {{"xmlns", "urn:schemas-microsoft-com:asm.v3"}}, {security}};
  XmlElement assembly{
      "assembly", {{"xmlns", "urn:schemas-microsoft-com:asm.v1"}, {"manifestVersion", "1.0"}}, {trust}};
  EXPECT_EQ(Describe(root), Describe(assembly));
}

}  // namespace
