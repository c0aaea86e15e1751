#pragma once

// What a record stream delivers while no buffer is recording, and where the next buffer starts.
//
// A sound server sends its sound in pieces (fragments) that are larger than the pause between
// one block's end and the queueing of the next buffer. What a piece holds past a buffer's end
// is kept, the newest `limit` bytes of it. When the next buffer starts recording, it begins
// with the sound of that moment: what was kept from before it is left out, and what has not
// arrived yet of the pause is skipped once it does. So consecutive blocks lie apart by the
// time the application took to queue the next buffer, as on any device that records only into
// queued buffers, whatever the size of the pieces; and a piece never makes a block start late,
// as long as a piece is not larger than `limit`.
//
// Plain arithmetic over a BufferQueue and a clock given to it: no lock (the driver calls it
// under its own) and no sound server, so its edges are tested alone.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "capture/wave_driver.h"

namespace quorvane::wavein {

class SoundCarry {
 public:
  // Microseconds on a monotonic clock.
  using Clock = std::function<std::uint64_t()>;

  // `limit` in bytes of whole 16-bit samples; `bytes_per_second` of the stream's sound.
  SoundCarry(std::size_t limit, std::uint32_t bytes_per_second, Clock now);

  // A piece of the stream arrived: `data` (null for a hole in the stream, recorded as silence),
  // `bytes` long. `recording` holds the buffers that take sound now, or is null when none does
  // (no device, not started, failed). Returns how many bytes went into buffers.
  std::size_t Arrive(const void* data, std::size_t bytes, BufferQueue* recording);

  // `recording` takes sound from now on (recording started, or a buffer queued while it runs):
  // it gets what is kept from this moment on.
  void Resume(BufferQueue& recording);

  // Forgets everything: a new stream.
  void Clear();

  std::size_t kept() const { return kept_.size(); }

 private:
  void MarkBlockEnd();
  void Keep(const char* data, std::size_t bytes);

  const std::size_t limit_;
  const std::uint32_t bytes_per_second_;
  const Clock now_;
  std::vector<char> kept_;
  // Since when no buffer takes sound, and how many bytes arrived since (kept or not).
  bool between_blocks_ = false;
  std::uint64_t block_end_ = 0;
  std::size_t since_block_end_ = 0;
  std::size_t skip_ = 0;  // of the pause before the current buffer, what has not arrived yet
};

}  // namespace quorvane::wavein
