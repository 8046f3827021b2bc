// Formatted print to standard output, wide and narrow.
//
// Text goes through a small byte buffer that is flushed to the inherited
// standard output whenever it fills and at the end of each print. A GUI
// program usually has no standard output at all; then, or when a write
// fails, the text is dropped and the program goes on. No console is created.
#include "rt.h"

namespace {

struct Emitter {
  char *buffer;     // bytes not yet flushed
  unsigned size;    // capacity of buffer
  unsigned length;  // bytes held
  HANDLE output;    // where flushes go; null: format into buffer only
};

void Flush(Emitter *e) {
  if (e->output && e->length) {
    DWORD written = 0;
    WriteFile(e->output, e->buffer, e->length, &written, 0);  // failure: text dropped
  }
  if (e->output) e->length = 0;
}

void PutRawByte(Emitter *e, char byte) {
  // In format mode the last byte stays reserved for the terminator.
  unsigned limit = e->output ? e->size : e->size - 1;
  if (e->length >= limit) {
    if (!e->output) return;
    Flush(e);
  }
  e->buffer[e->length++] = byte;
}

// Text mode: a line feed is written as CR LF.
void PutByte(Emitter *e, char byte) {
  if (byte == '\n') PutRawByte(e, '\r');
  PutRawByte(e, byte);
}

void PutUnit(Emitter *e, wchar_t unit) {
  PutByte(e, unit > 0xFF ? '?' : (char)unit);
}

void PutWide(Emitter *e, const wchar_t *s) {
  if (!s) s = L"(null)";
  for (; *s; s++) PutUnit(e, *s);
}

void PutNarrow(Emitter *e, const char *s) {
  if (!s) s = "(null)";
  for (; *s; s++) PutByte(e, *s);
}

void PutUnsigned(Emitter *e, unsigned long value) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value);
  while (n) PutByte(e, digits[--n]);
}

void PutSigned(Emitter *e, long value) {
  unsigned long magnitude = (unsigned long)value;
  if (value < 0) {
    PutByte(e, '-');
    magnitude = 0UL - magnitude;
  }
  PutUnsigned(e, magnitude);
}

void PutHex8(Emitter *e, unsigned long value) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int shift = 28; shift >= 0; shift -= 4) PutByte(e, kHex[(value >> shift) & 0xF]);
}

// One loop serves both prints: CharT is the format's unit type, and %s takes
// a string of the same width.
template <typename CharT>
void Format(Emitter *e, const CharT *format, va_list args) {
  for (const CharT *p = format; *p; p++) {
    if (*p != '%') {
      if (sizeof(CharT) == 1) PutByte(e, (char)*p);
      else PutUnit(e, (wchar_t)*p);
      continue;
    }
    CharT conversion = *++p;
    switch (conversion) {
      case 's':
        if (sizeof(CharT) == 1) PutNarrow(e, va_arg(args, const char *));
        else PutWide(e, va_arg(args, const wchar_t *));
        break;
      case 'd': PutSigned(e, va_arg(args, int)); break;
      case 'u': PutUnsigned(e, va_arg(args, unsigned)); break;
      case 'p': PutHex8(e, (unsigned long)(UINT_PTR)va_arg(args, void *)); break;
      case '%': PutByte(e, '%'); break;
      case 0: return;  // a lone '%' at the end
      default:         // unknown conversion: shown as written
        PutByte(e, '%');
        PutUnit(e, (wchar_t)conversion);
        break;
    }
  }
}

HANDLE StandardOutput() {
  HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  return h == INVALID_HANDLE_VALUE ? 0 : h;
}

template <typename CharT>
void Print(const CharT *format, va_list args) {
  HANDLE out = StandardOutput();
  if (!out) return;
  char buffer[512];
  Emitter e = {buffer, sizeof buffer, 0, out};
  Format(&e, format, args);
  Flush(&e);
}

template <typename CharT>
unsigned FormatTo(char *out, unsigned size, const CharT *format, va_list args) {
  if (size == 0) return 0;
  Emitter e = {out, size, 0, 0};
  Format(&e, format, args);
  out[e.length] = 0;
  return e.length;
}

}  // namespace

void RtPrintW(const wchar_t *format, ...) {
  va_list args;
  va_start(args, format);
  Print(format, args);
  va_end(args);
}

void RtPrintA(const char *format, ...) {
  va_list args;
  va_start(args, format);
  Print(format, args);
  va_end(args);
}

unsigned RtFormatW(char *out, unsigned size, const wchar_t *format, va_list args) {
  return FormatTo(out, size, format, args);
}

unsigned RtFormatA(char *out, unsigned size, const char *format, va_list args) {
  return FormatTo(out, size, format, args);
}
