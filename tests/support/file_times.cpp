#include "file_times.h"

namespace {

const uint64_t kUnixEpochAsFileTime = 116444736000000000ull;  // 1970-01-01 in 100-ns since 1601
const uint64_t kPerSecond = 10000000u;

}  // namespace

uint64_t FileTimeValue(const FILETIME &t) { return ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime; }

uint64_t FileTimeOfUnix(int64_t unixTime) { return (uint64_t)(unixTime * (int64_t)kPerSecond) + kUnixEpochAsFileTime; }

bool UnixOfFileTime(uint64_t value, int64_t *unixTime) {
  int64_t since = (int64_t)(value - kUnixEpochAsFileTime);
  if (since % (int64_t)kPerSecond) return false;
  *unixTime = since / (int64_t)kPerSecond;
  return true;
}

uint64_t FileTimeOfDos(uint32_t dosDateTime) {
  FILETIME t = {};
  DosDateTimeToFileTime((WORD)(dosDateTime >> 16), (WORD)dosDateTime, &t);
  return FileTimeValue(t);
}

uint32_t DosDateTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                     unsigned seconds2) {
  return ((year - 1980) << 25) | (month << 21) | (day << 16) | (hour << 11) | (minute << 5) | seconds2;
}
