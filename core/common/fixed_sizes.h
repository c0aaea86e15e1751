#pragma once

// The sizes the whole program is built around, in one place. Start-up sets the analyser's own
// from text constants ("22050", "8192") as the window always has; these are the same numbers
// for the code around it (the capture's stream, files, pictures), and a test holds the two
// together.

#include <cstddef>
#include <cstdint>

namespace quorvane {

inline constexpr int kSampleRate = 22050;                    // samples a second, mono
inline constexpr std::size_t kBlockSamples = 8192;           // one block, the transform's length N
inline constexpr std::size_t kBins = kBlockSamples / 2 + 1;  // levels 0..N/2
inline constexpr std::uint32_t kBytesPerSecond = 2 * kSampleRate;  // 16-bit samples
inline constexpr std::size_t kBlockBytes = 2 * kBlockSamples;      // one capture buffer

}  // namespace quorvane
