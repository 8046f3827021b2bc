// UTC breakdown of a 32-bit Unix time.
#include "rt.h"

// The platform's 32-bit breakdown accepts times down to half a day before
// the epoch (room for time-zone arithmetic) and rejects anything earlier.
static const long kEarliestTime = -43200;

int RtUtcBreakdown(long unixTime, RtUtcTime *out) {
  if (unixTime < kEarliestTime) return 0;
  // 32-bit arithmetic throughout: a 32-bit time needs no more, and 64-bit
  // division would pull helper routines into the executable.
  long days = unixTime / 86400;
  long secs = unixTime % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  // Civil date from a day count (proleptic Gregorian calendar, eras of
  // 400 years starting on 0000-03-01).
  long z = days + 719468;
  long era = (z >= 0 ? z : z - 146096) / 146097;
  long doe = z - era * 146097;
  long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long mp = (5 * doy + 2) / 153;
  long day = doy - (153 * mp + 2) / 5 + 1;
  long month = mp < 10 ? mp + 3 : mp - 9;
  long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  out->year = (int)year;
  out->month = (int)month;
  out->day = (int)day;
  out->hour = (int)(secs / 3600);
  out->minute = (int)(secs / 60 % 60);
  out->second = (int)(secs % 60);
  return 1;
}
