// Time arithmetic for the tests: FILETIME values as one number, Unix times
// and MS-DOS dates turned into them, the way Windows counts (100-ns
// intervals since 1601-01-01 UTC).
#pragma once

#include <stdint.h>
#include <windows.h>

uint64_t FileTimeValue(const FILETIME &t);

// The FILETIME value of a Unix time (seconds since 1970-01-01 UTC).
uint64_t FileTimeOfUnix(int64_t unixTime);

// The Unix time of a FILETIME value that falls on a whole second; false
// (and *unixTime untouched) for one that does not, which no whole-second
// source such as a "UT" extra field can have given.
bool UnixOfFileTime(uint64_t value, int64_t *unixTime);

// The FILETIME value Windows gives an MS-DOS date (high half) and time.
uint64_t FileTimeOfDos(uint32_t dosDateTime);

// An MS-DOS date and time as one value (date in the high half), from its
// raw fields: seconds2 is the seconds field (seconds / 2).
uint32_t DosDateTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                     unsigned seconds2);
