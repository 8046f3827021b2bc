// UTC breakdown of a 32-bit Unix time.
#include "rt.h"

// The platform's 32-bit breakdown accepts times down to half a day before
// the epoch (room for time-zone arithmetic) and rejects anything earlier.
static const long kEarliestTime = -43200;

int RtUtcBreakdown(long unixTime, RtUtcTime *out) {
  if (unixTime < kEarliestTime) return 0;
  long long t = unixTime;
  long long days = t / 86400;
  long long secs = t % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  // Civil date from a day count (proleptic Gregorian calendar, eras of
  // 400 years starting on 0000-03-01).
  long long z = days + 719468;
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  long long day = doy - (153 * mp + 2) / 5 + 1;
  long long month = mp < 10 ? mp + 3 : mp - 9;
  long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  out->year = (int)year;
  out->month = (int)month;
  out->day = (int)day;
  out->hour = (int)(secs / 3600);
  out->minute = (int)(secs / 60 % 60);
  out->second = (int)(secs % 60);
  return 1;
}
