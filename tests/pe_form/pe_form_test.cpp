// The executable form of the built launcher.exe.
//
// The launcher must start on a bare Windows installation: a 32-bit GUI
// program that imports from four system libraries and nothing else (no C
// runtime DLL), relocatable so that address-space randomisation applies,
// marked for data-execution prevention and terminal services, with no
// exports, a read-only resource section (the payload is used in place) and
// no link time stamp, so that rebuilds compare equal. Link options or a
// stray call into a C runtime change these silently; this test reads the
// headers of the file the build produced.
#include <windows.h>

#include <algorithm>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "test_files.h"

namespace {

class LauncherImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    image_ = new std::string;
    if (!ReadWholeFile(BuildDir() + L"launcher.exe", image_)) image_->clear();
  }
  static void TearDownTestSuite() {
    delete image_;
    image_ = nullptr;
  }

  void SetUp() override {
    const std::string &img = *image_;
    ASSERT_GE(img.size(), sizeof(IMAGE_DOS_HEADER)) << "launcher.exe missing or empty";
    const IMAGE_DOS_HEADER *dos = At<IMAGE_DOS_HEADER>(0);
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    ASSERT_LE((size_t)dos->e_lfanew + sizeof(IMAGE_NT_HEADERS32), img.size());
    nt_ = At<IMAGE_NT_HEADERS32>(dos->e_lfanew);
    ASSERT_EQ(nt_->Signature, IMAGE_NT_SIGNATURE);
    size_t sectionTable = dos->e_lfanew + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                          nt_->FileHeader.SizeOfOptionalHeader;
    ASSERT_LE(sectionTable + nt_->FileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER), img.size());
    sections_ = At<IMAGE_SECTION_HEADER>(sectionTable);
  }

  template <typename T>
  static const T *At(size_t offset) {
    return reinterpret_cast<const T *>(image_->data() + offset);
  }

  const IMAGE_DATA_DIRECTORY &Directory(int index) const {
    return nt_->OptionalHeader.DataDirectory[index];
  }

  // File offset of an RVA, or 0 when no section holds it.
  size_t OffsetOf(DWORD rva) const {
    for (int i = 0; i < nt_->FileHeader.NumberOfSections; i++) {
      const IMAGE_SECTION_HEADER &s = sections_[i];
      DWORD size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + size) {
        size_t offset = rva - s.VirtualAddress + s.PointerToRawData;
        return offset < image_->size() ? offset : 0;
      }
    }
    return 0;
  }

  const IMAGE_SECTION_HEADER *Section(const char *name) const {
    for (int i = 0; i < nt_->FileHeader.NumberOfSections; i++) {
      if (strncmp(reinterpret_cast<const char *>(sections_[i].Name), name, IMAGE_SIZEOF_SHORT_NAME) == 0)
        return &sections_[i];
    }
    return nullptr;
  }

  static std::string *image_;
  const IMAGE_NT_HEADERS32 *nt_ = nullptr;
  const IMAGE_SECTION_HEADER *sections_ = nullptr;
};

std::string *LauncherImage::image_ = nullptr;

TEST_F(LauncherImage, IsA32BitGuiProgramForWindowsVista) {
  const IMAGE_FILE_HEADER &file = nt_->FileHeader;
  EXPECT_EQ(file.Machine, IMAGE_FILE_MACHINE_I386);
  EXPECT_TRUE(file.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE);
  EXPECT_FALSE(file.Characteristics & IMAGE_FILE_DLL);
  EXPECT_EQ(file.SizeOfOptionalHeader, sizeof(IMAGE_OPTIONAL_HEADER32));
  const IMAGE_OPTIONAL_HEADER32 &opt = nt_->OptionalHeader;
  EXPECT_EQ(opt.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
  EXPECT_EQ(opt.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  EXPECT_EQ(opt.MajorSubsystemVersion, 6);
  EXPECT_EQ(opt.MinorSubsystemVersion, 0);
}

TEST_F(LauncherImage, CarriesNoLinkTimeStamp) { EXPECT_EQ(nt_->FileHeader.TimeDateStamp, 0u); }

TEST_F(LauncherImage, IsRelocatableWithAslrAndDep) {
  WORD dll = nt_->OptionalHeader.DllCharacteristics;
  EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
  EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
  EXPECT_TRUE(dll & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE);
  EXPECT_FALSE(nt_->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);

  // Without relocations the loader cannot move the image, whatever the flag
  // says: the directory must hold at least one well-formed block.
  const IMAGE_DATA_DIRECTORY &relocs = Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC);
  ASSERT_GE(relocs.Size, sizeof(IMAGE_BASE_RELOCATION));
  size_t offset = OffsetOf(relocs.VirtualAddress);
  ASSERT_NE(offset, 0u);
  ASSERT_LE(offset + sizeof(IMAGE_BASE_RELOCATION), image_->size());
  const IMAGE_BASE_RELOCATION *block = At<IMAGE_BASE_RELOCATION>(offset);
  EXPECT_GT(block->SizeOfBlock, sizeof(IMAGE_BASE_RELOCATION));
  EXPECT_LE(block->SizeOfBlock, relocs.Size);
}

TEST_F(LauncherImage, ImportsOnlyTheFourSystemLibraries) {
  const IMAGE_DATA_DIRECTORY &imports = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
  ASSERT_NE(imports.VirtualAddress, 0u);
  size_t offset = OffsetOf(imports.VirtualAddress);
  ASSERT_NE(offset, 0u);
  std::set<std::string> names;
  for (;; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    ASSERT_LE(offset + sizeof(IMAGE_IMPORT_DESCRIPTOR), image_->size());
    const IMAGE_IMPORT_DESCRIPTOR *d = At<IMAGE_IMPORT_DESCRIPTOR>(offset);
    if (d->Name == 0) break;
    size_t nameOffset = OffsetOf(d->Name);
    ASSERT_NE(nameOffset, 0u);
    std::string name(image_->c_str() + nameOffset);
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return (char)toupper((unsigned char)c); });
    EXPECT_TRUE(names.insert(name).second) << name << " imported twice";
    ASSERT_LT(names.size(), 64u);
  }
  EXPECT_EQ(names, (std::set<std::string>{"KERNEL32.DLL", "USER32.DLL", "SHELL32.DLL", "SHLWAPI.DLL"}));
  // Delay-loaded libraries would be imports by another road.
  EXPECT_EQ(Directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT).Size, 0u);
}

TEST_F(LauncherImage, ExportsNothing) {
  const IMAGE_DATA_DIRECTORY &exports = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
  EXPECT_EQ(exports.VirtualAddress, 0u);
  EXPECT_EQ(exports.Size, 0u);
  EXPECT_EQ(Section(".edata"), nullptr);
}

TEST_F(LauncherImage, ResourceSectionIsReadOnlyAndHoldsTheResources) {
  const IMAGE_SECTION_HEADER *rsrc = Section(".rsrc");
  ASSERT_NE(rsrc, nullptr);
  EXPECT_FALSE(rsrc->Characteristics & IMAGE_SCN_MEM_WRITE);
  EXPECT_TRUE(rsrc->Characteristics & IMAGE_SCN_MEM_READ);
  const IMAGE_DATA_DIRECTORY &resources = Directory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
  EXPECT_EQ(resources.VirtualAddress, rsrc->VirtualAddress);
  EXPECT_GT(resources.Size, 0u);
}

// The payload is read in place: its section must be mappable straight from
// the file, which needs its data at a page-aligned file offset (Wine copies
// a misaligned section into private memory, the whole payload with it).
TEST_F(LauncherImage, ResourceDataStartsOnAPageOfTheFile) {
  const IMAGE_SECTION_HEADER *rsrc = Section(".rsrc");
  ASSERT_NE(rsrc, nullptr);
  EXPECT_EQ(rsrc->PointerToRawData % 4096, 0u);
  // Every section's data still lies inside the file, in order.
  DWORD end = 0;
  for (int i = 0; i < nt_->FileHeader.NumberOfSections; i++) {
    const IMAGE_SECTION_HEADER &s = sections_[i];
    if (!s.SizeOfRawData) continue;
    EXPECT_GE(s.PointerToRawData, end);
    end = s.PointerToRawData + s.SizeOfRawData;
  }
  EXPECT_LE(end, image_->size());
}

}  // namespace
