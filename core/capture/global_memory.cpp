// GlobalAlloc, GlobalLock and GlobalFree of capture/wavein.h, over the C library's heap.

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>

#include "capture/wave_drivers.h"
#include "capture/wavein.h"

namespace {

// Live blocks, so that freeing a stale or foreign handle is refused rather than a crash.
struct Blocks {
  std::mutex mutex;
  std::set<void*> live;
};

Blocks& TheBlocks() {
  static Blocks blocks;
  return blocks;
}

}  // namespace

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  // A negative size converted on the way in shows up as an absurd one: out of memory.
  if (dwBytes > 0xFFFFFFFFu) return nullptr;
  const SIZE_T size = std::max<SIZE_T>(dwBytes, 1);
  void* block = (uFlags & GMEM_ZEROINIT) ? std::calloc(size, 1) : std::malloc(size);
  if (block == nullptr) return nullptr;
  Blocks& blocks = TheBlocks();
  std::lock_guard lock(blocks.mutex);
  try {
    blocks.live.insert(block);
  } catch (const std::bad_alloc&) {
    std::free(block);
    return nullptr;
  }
  return block;
}

LPVOID GlobalLock(HGLOBAL hMem) {
  Blocks& blocks = TheBlocks();
  std::lock_guard lock(blocks.mutex);
  return blocks.live.count(hMem) != 0 ? hMem : nullptr;
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
  if (hMem == nullptr) return nullptr;
  Blocks& blocks = TheBlocks();
  std::lock_guard lock(blocks.mutex);
  if (blocks.live.erase(hMem) == 0) return hMem;
  std::free(hMem);
  return nullptr;
}

std::size_t quorvane::LiveGlobalBlocks() {
  Blocks& blocks = TheBlocks();
  std::lock_guard lock(blocks.mutex);
  return blocks.live.size();
}
