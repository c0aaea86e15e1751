#pragma once

#include <string>

#include "common/numeric.h"

namespace quorvane {

// The three readouts that every grid drawing refreshes, as the captions of their labels.
struct ReadoutCaptions {
  std::string signal;    // beside "Sig max:", e.g. "-13 dB anl"
  std::string max_hold;  // beside "Max Hold:"; "0" after start-up and after a clear
  std::string peak;      // beside "Freq Peak:", e.g. "1033 Hz"
};

inline constexpr const char* kSignalSuffix = " dB anl";
inline constexpr const char* kMaxHoldCleared = "0";

// Floors the signal figure to whole dB (the floored value replaces it), writes it, carries
// it into the max hold only when its leading number is strictly greater than the held one,
// and writes the peak frequency.
void UpdateReadouts(float& signal_figure, Integer peak_hz, ReadoutCaptions& captions);

// "Ref: 30 dB"
std::string ReferenceCaption(float ref_level);

// The noise reference as the largest whole number not above it, no unit: -56.3 -> "-57".
std::string NoiseCaption(float noise);

}  // namespace quorvane
