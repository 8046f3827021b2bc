// The handful of C library symbols that the compiler and zlib's inflate and
// crc32 call. Linked only into programs built without a C runtime; test
// programs get the same symbols from their C runtime.
#include "rt.h"

extern "C" {

// String moves beat byte loops by far on every processor this runs on, and
// inflate copies each decoded block into its window.
void *memcpy(void *dst, const void *src, size_t n) {
  void *d = dst;
  __asm__ volatile("rep movsb" : "+D"(d), "+S"(src), "+c"(n) : : "memory");
  return dst;
}

void *memmove(void *dst, const void *src, size_t n) {
  unsigned char *d = (unsigned char *)dst;
  const unsigned char *s = (const unsigned char *)src;
  if (d < s) {
    while (n--) *d++ = *s++;
  } else {
    while (n--) d[n] = s[n];
  }
  return dst;
}

void *memset(void *dst, int value, size_t n) {
  void *d = dst;
  __asm__ volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(value) : "memory");
  return dst;
}

int memcmp(const void *a, const void *b, size_t n) {
  const unsigned char *x = (const unsigned char *)a;
  const unsigned char *y = (const unsigned char *)b;
  for (; n; n--, x++, y++)
    if (*x != *y) return *x - *y;
  return 0;
}

size_t strlen(const char *s) {
  size_t n = 0;
  while (s[n]) n++;
  return n;
}

void *malloc(size_t size) { return RtAlloc((unsigned)size); }

void free(void *block) { RtFree(block); }

}  // extern "C"
