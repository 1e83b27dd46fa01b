// Large work buffers taken from the system page by page rather than from the
// heap, on Windows.
#include <cstddef>

#include <windows.h>

#include "platform/platform.h"

namespace tov::platform {

void *AllocateLarge(size_t bytes) {
  if (bytes == 0) bytes = 1;
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeLarge(void *p, size_t) {
  if (p != nullptr) VirtualFree(p, 0, MEM_RELEASE);
}

void PrefaultLarge(void *, size_t) {}

}  // namespace tov::platform
