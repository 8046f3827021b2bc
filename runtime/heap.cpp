// Heap memory over the process heap.
#include "rt.h"

void *RtAlloc(unsigned size) {
  return HeapAlloc(GetProcessHeap(), 0, size ? size : 1);
}

void RtFree(void *block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}
