// Wide string routines of the runtime.
#include "rt.h"

unsigned RtWcsLen(const wchar_t *s) {
  unsigned n = 0;
  while (s[n]) n++;
  return n;
}

void RtWcsCopyBounded(wchar_t *dst, unsigned dstSize, const wchar_t *src) {
  if (dstSize == 0) return;
  unsigned i = 0;
  for (; i + 1 < dstSize && src[i]; i++) dst[i] = src[i];
  dst[i] = 0;
}

void RtWcsAppendBounded(wchar_t *dst, unsigned dstSize, const wchar_t *src) {
  if (dstSize == 0) return;
  unsigned used = 0;
  while (used < dstSize && dst[used]) used++;
  if (used == dstSize) {  // not terminated within the buffer: terminate it
    dst[dstSize - 1] = 0;
    return;
  }
  RtWcsCopyBounded(dst + used, dstSize - used, src);
}

void RtWcsCopyCounted(wchar_t *dst, const wchar_t *src, unsigned count) {
  unsigned i = 0;
  for (; i < count && src[i]; i++) dst[i] = src[i];
  for (; i < count; i++) dst[i] = 0;
}

wchar_t *RtWcsRChr(const wchar_t *s, wchar_t ch) {
  const wchar_t *found = 0;
  for (;; s++) {
    if (*s == ch) found = s;
    if (!*s) break;
  }
  return const_cast<wchar_t *>(found);
}

wchar_t *RtWcsStr(const wchar_t *s, const wchar_t *needle) {
  for (;; s++) {
    unsigned i = 0;
    while (needle[i] && s[i] == needle[i]) i++;
    if (!needle[i]) return const_cast<wchar_t *>(s);
    if (!*s) return 0;
  }
}

static int IsDelimiter(wchar_t ch, const wchar_t *delims) {
  for (; *delims; delims++)
    if (*delims == ch) return 1;
  return 0;
}

wchar_t *RtWcsTok(wchar_t *s, const wchar_t *delims, wchar_t **context) {
  if (!s) s = *context;
  if (!s) return 0;
  while (*s && IsDelimiter(*s, delims)) s++;
  if (!*s) {
    *context = s;
    return 0;
  }
  wchar_t *token = s;
  while (*s && !IsDelimiter(*s, delims)) s++;
  if (*s) *s++ = 0;
  *context = s;
  return token;
}
