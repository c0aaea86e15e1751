#pragma once

// Choosing where wave-input device 0 gets its sound from, for the whole process. A choice
// applies to devices opened after it; a device already open keeps its driver until closed.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvane {

// Sound from the PulseAudio server named by the usual client settings (PULSE_SERVER, ...).
// This is the driver in use until another is chosen. The environment (PULSE_SOURCE) is read
// here, on the calling thread, once for the driver's life.
struct PulseWaveInputOptions {
  // After a close, the server connection is kept this long for the next open to reuse, so the
  // open-record-close cycle of every block does not pay for connecting. 0 releases it with
  // the device. A connection that saw a fault is never reused.
  int keep_connection_ms = 1000;
  // How much sound arrives at a time: a quarter of a block. The server is asked for pieces of
  // this size, and the source for this latency, and the sound thread takes what came at most
  // this often. What a piece holds
  // past a buffer's end is kept for the next buffer, so this sets how often the sound thread
  // wakes and how late a block's end is seen, not the gap between blocks. At most a quarter
  // of a second, the most sound that is kept.
  int fragment_ms = 93;
};
void UsePulseWaveInput(PulseWaveInputOptions options = {});

// What the memory driver does when a buffer asks for more samples than are left.
enum class MemoryInputEnd {
  // The buffer takes what is left and is never marked done, like a device that fell silent;
  // waveInReset/waveInStop hand it back with the bytes it got.
  Wait,
  // Carry on from the first sample again (an empty list behaves as Wait).
  Loop,
  // The buffer takes what is left and is marked done (the rest of it untouched); buffers
  // queued after the samples ran out are never marked done.
  Finish,
};

// Sound from `samples` (16-bit mono at 22050/s). Each queued buffer is filled at once, when it
// is both queued and started, carrying on from where the previous buffer ended, across
// closes and opens of the device.
void UseMemoryWaveInput(std::vector<std::int16_t> samples,
                        MemoryInputEnd at_end = MemoryInputEnd::Wait);

// How many samples of the memory driver's list have been handed out (the index of the next
// one; back to 0 after a Loop). 0 when the memory driver is not in use.
std::size_t MemoryWaveInputPosition();

// How many blocks from GlobalAlloc are not yet freed; for leak checks.
std::size_t LiveGlobalBlocks();

}  // namespace quorvane
