// The archive reader's public interface: an opaque handle over a ZIP
// archive held in memory, item records, and writing items to disk.
//
// Items are numbered from 0 in central directory order. Every operation
// stores its result code in LastZipResult before returning.
#pragma once

#include <windows.h>

#include "launcher_facts.h"  // LAUNCHER_PATH_SIZE: item names and target paths

// Result codes: whole values, never combined.
enum {
  UZ_OK = 0,                      // success
  UZ_FILE_CREATE_FAILED = 0x200,  // the output file could not be created
  UZ_FILE_WRITE_FAILED = 0x400,   // reading the entry or writing the output failed, or the
                                  // written data is not the item's (size or CRC-32)
  UZ_BAD_LOCAL_HEADER = 0x700,    // the item's local header disagrees with its central record
  UZ_SOURCE_READ_FAILED = 0x800,  // the item's local extra field could not be read in full
  UZ_BAD_ENTRY = 0x900,           // the item's central record cannot be read, or its name
                                  // does not fit the record
  UZ_UNSAFE_NAME = 0xA00,         // a directory item's name leaves the root directory: a ".."
                                  // component, or absolute or on a drive ("/x/", "C:x/")
  UZ_BAD_ARGUMENT = 0x10000,      // no handle given; item index out of range
  UZ_WRONG_HANDLE_KIND = 0x80000, // the handle's kind is not 1
};

struct ZipHandle;

// An item as handed to callers; the name is UTF-16.
struct ZipItemInfo {
  int index;                         // the item's index; in the count record the number of items
  wchar_t name[LAUNCHER_PATH_SIZE];  // the name as stored, terminated
  unsigned attributes;               // FILE_ATTRIBUTE_* bits
  FILETIME accessTime;
  FILETIME creationTime;
  FILETIME modifyTime;
  unsigned compressedSize;
  unsigned uncompressedSize;
};

// Code of the most recent handle-level call on any handle.
extern int LastZipResult;

// Reads the archive in place: buffer must stay valid and unchanged until
// CloseZipArchive. Returns null on failure (the code is in LastZipResult).
ZipHandle *OpenZipBuffer(const void *buffer, unsigned length);
// index -1 gives the count record. info is written only on UZ_OK.
int GetZipItemInfo(ZipHandle *handle, int index, ZipItemInfo *info);
// Writes item index to the file at path (a directory item: below the
// directory that was current at open time).
int UnZipItem(ZipHandle *handle, int index, const wchar_t *path);
int CloseZipArchive(ZipHandle *handle);

// True when a name has a path component that climbs to the parent: ".."
// and the forms Windows reads as "..", such as ". ." or "... ".
int ZipNameHasParentComponent(const wchar_t *name);
