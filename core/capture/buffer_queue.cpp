#include <algorithm>
#include <atomic>
#include <cstring>

#include "capture/wave_driver.h"

namespace quorvane::wavein {

namespace {

// The application may poll these two fields while the buffer is queued.
void StoreBytesRecorded(WAVEHDR* header, DWORD bytes) {
  std::atomic_ref<DWORD>(header->dwBytesRecorded).store(bytes, std::memory_order_relaxed);
}

void PublishDone(WAVEHDR* header) {
  std::atomic_ref<DWORD> flags(header->dwFlags);
  const DWORD old = flags.load(std::memory_order_relaxed);
  flags.store((old & ~WHDR_INQUEUE) | WHDR_DONE, std::memory_order_release);
}

}  // namespace

void BufferQueue::Add(WAVEHDR* header) {
  StoreBytesRecorded(header, 0);
  std::atomic_ref<DWORD> flags(header->dwFlags);
  flags.store((flags.load(std::memory_order_relaxed) & ~WHDR_DONE) | WHDR_INQUEUE,
              std::memory_order_release);
  queue_.push_back(header);
}

bool BufferQueue::Contains(const WAVEHDR* header) const {
  return std::find(queue_.begin(), queue_.end(), header) != queue_.end();
}

std::size_t BufferQueue::Fill(const void* data, std::size_t bytes) {
  const auto* from = static_cast<const char*>(data);
  std::size_t taken = 0;
  while (taken < bytes && !queue_.empty()) {
    WAVEHDR* header = queue_.front();
    const DWORD recorded = header->dwBytesRecorded;
    const std::size_t room = header->dwBufferLength - recorded;
    const std::size_t n = std::min(room, bytes - taken);
    if (from != nullptr) {
      std::memcpy(header->lpData + recorded, from + taken, n);
    } else {
      std::memset(header->lpData + recorded, 0, n);
    }
    taken += n;
    StoreBytesRecorded(header, recorded + static_cast<DWORD>(n));
    if (n == room) CompleteHead();
  }
  return taken;
}

void BufferQueue::CompleteHead() {
  if (queue_.empty()) return;
  WAVEHDR* header = queue_.front();
  queue_.pop_front();
  PublishDone(header);
  RaiseCaptureSignal();
}

void BufferQueue::CompleteAll() {
  while (!queue_.empty()) CompleteHead();
}

}  // namespace quorvane::wavein
