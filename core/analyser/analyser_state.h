#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/numeric.h"
#include "common/packed_color.h"
#include "display/trace.h"
#include "dsp/spectrum_arrays.h"

namespace quorvane {

inline constexpr PackedColor kGridColor = 0xC0C0C0;
inline constexpr PackedColor kBackColor = 0x000000;
inline constexpr PackedColor kTraceColor = 0x00FFFF;

// The window's working data: analysis arrays, display settings and figures. Everything is
// zero or empty when created; the start-up sequence gives it its working values. Large
// (about 460 KB): keep it on the heap.
struct AnalyserState {
  Long lngSampleRate = 0;  // Hz
  std::string strFFTSize;
  double dblFFTSize = 0;  // FFT length N, a power of two

  SampleArray dblReal;  // samples in, real parts of the spectrum out
  // Keeps dblImag from starting a multiple of 4 KiB after dblReal: the FFT touches both at
  // the same index, and that alignment makes loads and stores alias in the cache.
  std::array<std::byte, 1984> aliasing_gap_{};
  SampleArray dblImag;

  BinArray dblLevel;   // smoothed level per bin in dB, kept from block to block
  BinArray dblTraceX;  // plot x of each trace point; kTraceEndMarker ends the list
  BinArray dblTraceY;
  double dblSample = 0;  // the sample last read

  PackedColor lngGridColor = 0;
  PackedColor lngBackColor = 0;
  float sngRefLevel = 0;  // dB; the scroll bar's value
  float sngDbPerDiv = 0;  // dB per vertical grid division
  Integer intPeakFreq = 0;
  float sngMax = 0;    // the signal figure between blocks
  float sngNoise = 0;  // noise reference, the level of bin N/2 - 800
  std::string strFreqStart;
  std::string strFreqStop;

  // The settings the trace mapping reads, taken from this state.
  TraceAxis Axis() const;

  // N/2 as the highest bin to map: 4096.
  Long BinCount() const { return CLng(dblFFTSize / 2); }
};

// Working values that the start-up sequence gives. The capture's sample-rate text and
// buffer size are set here too, since both derive from the same text constants.
inline constexpr float kStartRefLevel = 30;
inline constexpr float kStartDbPerDiv = 10;
inline constexpr const char* kSampleRateText = "22050";
inline constexpr const char* kFFTSizeText = "8192";
inline constexpr const char* kFreqStartText = "270";
inline constexpr const char* kFreqStopText = "2700";

// Start-up's value assignments, in order; the captions, capture start and drawing that
// start-up interleaves with them belong to the window.
void SetReferenceStartValues(AnalyserState& state);
void SetAnalysisStartValues(AnalyserState& state, std::string& capture_sample_rate,
                            Long& capture_buffer_bytes);
void SetColourStartValues(AnalyserState& state);

}  // namespace quorvane
