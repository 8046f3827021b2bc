// The launcher's small runtime: the only code that stands in for a C runtime.
//
// The launcher links no C runtime DLL, so the few services it needs from a
// standard library live here: heap memory over the process heap, the wide
// string routines the loader and the archive reader use, the UTC breakdown
// of a 32-bit Unix time, and formatted print to standard output.
#pragma once

#include <stdarg.h>
#include <windows.h>

// ---- Heap ------------------------------------------------------------------

void *RtAlloc(unsigned size);   // null when the heap refuses
void RtFree(void *block);       // null is allowed

// ---- Wide strings ----------------------------------------------------------

unsigned RtWcsLen(const wchar_t *s);

// Copies at most dstSize - 1 units of src and always terminates dst
// (nothing is written when dstSize is 0).
void RtWcsCopyBounded(wchar_t *dst, unsigned dstSize, const wchar_t *src);

// Appends src behind the string in dst without letting the whole string grow
// past dstSize - 1 units; dst stays terminated.
void RtWcsAppendBounded(wchar_t *dst, unsigned dstSize, const wchar_t *src);

// Copies exactly count units: src's units up to its terminator, then zeros.
// Like the standard counted copy it does not terminate dst when src has
// count units or more.
void RtWcsCopyCounted(wchar_t *dst, const wchar_t *src, unsigned count);

// Last occurrence of ch in s (the terminator counts when ch is 0), or null.
wchar_t *RtWcsRChr(const wchar_t *s, wchar_t ch);

// First occurrence of needle in s, or null; an empty needle matches at s.
wchar_t *RtWcsStr(const wchar_t *s, const wchar_t *needle);

// Splits a string into tokens separated by any unit of delims. Pass the
// string on the first call and null afterwards; *context keeps the place.
// Runs of delimiters count as one and leading or trailing delimiters give
// no empty token. Returns null when no token is left.
wchar_t *RtWcsTok(wchar_t *s, const wchar_t *delims, wchar_t **context);

// ---- Time ------------------------------------------------------------------

struct RtUtcTime {
  int year;     // full year
  int month;    // 1..12
  int day;      // 1..31
  int hour;     // 0..23
  int minute;   // 0..59
  int second;   // 0..59
};

// Breaks a 32-bit Unix time down into UTC. Fails (returns 0) for times
// before -43200, like the platform's own 32-bit breakdown.
int RtUtcBreakdown(long unixTime, RtUtcTime *out);

// ---- Formatted print to standard output ------------------------------------
//
// Conversions: %s (a wide string in the wide print, a narrow one in the
// narrow print), %d, %u, %p (eight upper-case hex digits), %%. Output is in
// text mode: each line feed goes out as CR LF. Wide text is narrowed one unit
// to one byte; units above U+00FF become '?'. Without a standard output, or
// when a write fails, the text is dropped and the caller goes on.

void RtPrintW(const wchar_t *format, ...);
void RtPrintA(const char *format, ...);

// Formats into a caller's byte buffer; returns the bytes stored (without the
// terminator, which is always written when size > 0). The prints do not go
// through these: both share the one formatting core, and these hand its
// bytes (CR LF included) to a caller instead of standard output, so that
// the formatting can be checked byte for byte.
unsigned RtFormatW(char *out, unsigned size, const wchar_t *format, va_list args);
unsigned RtFormatA(char *out, unsigned size, const char *format, va_list args);
