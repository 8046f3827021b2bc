// The archive object behind a ZipHandle, and the narrow item record.
//
// ZipArchive owns the central directory reader, keeps the record of the item
// read last (a one-record cache) and remembers the directory that was
// current when the archive was opened.
#pragma once

#include "unzip.h"
#include "zip_reader.h"

// The item record inside the archive reader; the name is in the ANSI code page.
struct ZipItemInfoNarrow {
  int index;
  char name[LAUNCHER_PATH_SIZE];
  unsigned attributes;
  FILETIME accessTime;
  FILETIME creationTime;
  FILETIME modifyTime;
  unsigned compressedSize;
  unsigned uncompressedSize;
};

struct ZipArchive {
  ZipReader *reader;                    // null until Open succeeds and after Close
  ZipItemInfoNarrow cachedItem;         // the record GetItem read last from the archive
  int cachedIndex;                      // index of cachedItem; -1 while there is none
  wchar_t rootDir[LAUNCHER_PATH_SIZE];  // current directory at open time and a backslash

  int Open(const void *buffer, unsigned length);
  int GetItem(int index, ZipItemInfoNarrow *record);
  int UnZipItem(int index, const wchar_t *path);
  int Close();

  // Walks the reader to item index; UZ_OK once it stands there.
  int PositionOn(int index);
};

struct ZipHandle {
  int kind;              // 1: a handle that reads an archive
  ZipArchive *archive;   // owned
};

enum { ZIP_HANDLE_KIND_ARCHIVE = 1 };

// Windows attribute bits of an entry's external attributes.
unsigned ZipAttributesFromExternal(unsigned externalAttributes);

// Creates the relative directory chain path below root, shallowest first.
void EnsureItemDirectory(const wchar_t *root, const wchar_t *path);
