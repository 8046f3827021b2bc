// Archive images in guarded memory, sources built the way OpenZipBuffer
// builds them (or over file handles), and readers and archive handles that
// close themselves: the one set every test of the archive reader uses.
#pragma once

#include <stdint.h>
#include <string.h>
#include <windows.h>

#include <memory>
#include <string>

#include "rt.h"
#include "zip_archive.h"
#include "zip_reader.h"

// A copy of an image whose last byte sits right before a PAGE_NOACCESS page,
// so that a read one byte past the image faults instead of passing unseen.
// The image stays writable: tests damage it in place.
class GuardedImage {
 public:
  explicit GuardedImage(const std::string &bytes) : size_((unsigned)bytes.size()) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    page_ = si.dwPageSize;
    dataSpan_ = (bytes.size() + page_ - 1) / page_ * page_;
    // Two regions: the pages that hold the image, and right behind them
    // one page that nobody may touch.
    base_ = (unsigned char *)VirtualAlloc(nullptr, dataSpan_ + page_, MEM_RESERVE, PAGE_NOACCESS);
    if (dataSpan_) VirtualAlloc(base_, dataSpan_, MEM_COMMIT, PAGE_READWRITE);
    VirtualAlloc(base_ + dataSpan_, page_, MEM_COMMIT, PAGE_READWRITE);
    DWORD old = 0;
    VirtualProtect(base_ + dataSpan_, page_, PAGE_NOACCESS, &old);
    data_ = base_ + dataSpan_ - size_;
    if (size_) memcpy(data_, bytes.data(), size_);
  }
  ~GuardedImage() { VirtualFree(base_, 0, MEM_RELEASE); }
  GuardedImage(const GuardedImage &) = delete;
  GuardedImage &operator=(const GuardedImage &) = delete;

  unsigned char *data() const { return data_; }
  unsigned size() const { return size_; }
  std::string bytes() const { return std::string((const char *)data_, size_); }

 private:
  size_t page_ = 0;
  size_t dataSpan_ = 0;
  unsigned char *base_ = nullptr;
  unsigned char *data_ = nullptr;
  unsigned size_ = 0;
};

// A memory source as OpenZipBuffer makes one; on the reader's heap, because
// OpenZipReader takes it over and frees it.
inline ZipSource *NewMemorySource(const void *data, unsigned size) {
  ZipSource *s = (ZipSource *)RtAlloc(sizeof(ZipSource));
  memset(s, 0, sizeof *s);
  s->usesHandle = 0;
  s->seekable = 1;
  s->data = (const unsigned char *)data;
  s->dataSize = size;
  return s;
}

inline ZipSource *NewHandleSource(HANDLE file, bool seekable, unsigned baseOffset) {
  ZipSource *s = (ZipSource *)RtAlloc(sizeof(ZipSource));
  memset(s, 0, sizeof *s);
  s->usesHandle = 1;
  s->seekable = seekable ? 1 : 0;
  s->fileHandle = file;
  s->baseOffset = baseOffset;
  return s;
}

// A reader, closed when the object goes (or by Close, to test what follows
// a close). Over a caller's memory, or over a guarded copy of bytes that it
// keeps for as long as it lives: the reader reads its image in place.
class ScopedReader {
 public:
  explicit ScopedReader(ZipReader *reader) : reader_(reader) {}
  explicit ScopedReader(ZipSource *source) : reader_(OpenZipReader(source)) {}
  ScopedReader(const void *data, unsigned size) : reader_(OpenZipReader(NewMemorySource(data, size))) {}
  explicit ScopedReader(const GuardedImage &image) : ScopedReader(image.data(), image.size()) {}
  explicit ScopedReader(const std::string &bytes) : image_(new GuardedImage(bytes)) {
    reader_ = OpenZipReader(NewMemorySource(image_->data(), image_->size()));
  }
  ~ScopedReader() { Close(); }
  ScopedReader(const ScopedReader &) = delete;
  ScopedReader &operator=(const ScopedReader &) = delete;
  ZipReader *get() const { return reader_; }
  ZipReader *operator->() const { return reader_; }
  void Close() {
    if (reader_) CloseZipReader(reader_);
    reader_ = nullptr;
  }

 private:
  std::unique_ptr<GuardedImage> image_;  // the bytes' copy, when the reader was given bytes
  ZipReader *reader_ = nullptr;
};

// An archive handle over a guarded copy of an image, closed when the object goes.
class ScopedArchive {
 public:
  explicit ScopedArchive(const std::string &bytes) : image_(bytes) {
    handle_ = OpenZipBuffer(image_.data(), image_.size());
  }
  ~ScopedArchive() {
    if (handle_) CloseZipArchive(handle_);
  }
  ScopedArchive(const ScopedArchive &) = delete;
  ScopedArchive &operator=(const ScopedArchive &) = delete;
  ZipHandle *get() const { return handle_; }
  ZipArchive *archive() const { return handle_->archive; }
  ZipReader *reader() const { return handle_->archive->reader; }
  GuardedImage &image() { return image_; }

 private:
  GuardedImage image_;
  ZipHandle *handle_ = nullptr;
};

