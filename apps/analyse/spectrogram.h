#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "display/frequency_scale.h"

namespace quorvane {

struct Span {
  double low = 0, high = 0;
};

// Blocks' levels folded into a picture of `width` x `height` cells: time across, frequency up.
//
// Each cell is the highest level of the blocks and bins it covers, so a click shorter than a
// column or a line narrower than a row still shows at its full level. Memory stays at one
// cell per pixel whatever the length: columns are folded as blocks arrive, and when more
// blocks come than were expected the columns are merged in pairs, each covering twice as many.
class SpectrogramColumns {
 public:
  // The rows run up `hz`, evenly in Hz or in octaves; `hz_per_bin` places bin i at
  // i * hz_per_bin; `expected_blocks` (0 if unknown) sets how many blocks each column starts
  // with.
  SpectrogramColumns(int width, int height, const FrequencyAxis& hz, double hz_per_bin,
                     std::int64_t expected_blocks);

  // Block `block`'s levels in dB, bins 0, 1, 2, ... Blocks may come in any order and from
  // several threads at once; each must come once.
  void Add(std::int64_t block, std::span<const double> levels);

  // One more than the highest block added.
  std::int64_t blocks() const { return blocks_; }

  // The finished picture: `height` rows of `width` levels, the highest frequency first; the
  // blocks spread evenly across the width. Every cell is -infinity before the first block.
  std::vector<float> Cells() const;

 private:
  int width_, height_;
  // Bins each row covers, lowest row first: first_bin_[r] .. last_bin_[r].
  std::vector<int> first_bin_, last_bin_;
  // Column j (of columns_used_) covers blocks j*blocks_per_column_ onwards; row r of it is at
  // j * height_ + r.
  std::vector<float> columns_;
  int columns_used_ = 0;
  int blocks_per_column_ = 1;
  std::int64_t blocks_ = 0;
  std::mutex mutex_;  // over the columns and the counts
};

// The colour range a picture of these cells reads best in, in dB, on 10 dB steps: from the
// floor of the noise the cells show (their quietest tenth, leaving out digital silence at
// -140 dB) to their loudest level.
Span DefaultDbRange(std::span<const float> cells);

// What --spectrogram draws: the picture's plot size in pixels, its frequency and colour
// ranges (the colour range chosen from the recording when not given), how frequency runs up
// it and whether its levels come through a Hann window.
struct SpectrogramSettings {
  std::string path;
  int width = 1200, height = 600;
  Span hz{0, 11025};
  bool hz_given = false;
  FrequencyScale scale = FrequencyScale::kLinear;
  bool hann = false;
  std::optional<Span> db;

  FrequencyAxis Axis() const { return {scale, hz.low, hz.high}; }
};

// Takes the value of --size (WxH), --freq (LO-HI, Hz), --db (LO-HI), --freq-scale
// (linear|log) or --window (none|hann) into `settings`; returns what is wrong with it, or
// nothing.
std::string ParseSpectrogramSetting(const std::string& option, const std::string& value,
                                    SpectrogramSettings& settings);

// Once every option is read: a log scale starts at 20 Hz unless --freq says where, and cannot
// start at 0 Hz. What is wrong, or nothing.
std::string FinishSpectrogramSettings(SpectrogramSettings& settings);

// A block's levels as the picture shows them with --window hann: the samples (fractions of
// full scale) times a Hann window scaled to keep a steady tone's level, transformed, and
// 20*log10(|X| + 1e-7) for bins 0..N/2 as the window's levels are taken. The window narrows a
// tone's skirt: without it a tone between two bins spreads over the whole picture.
void HannLevels(std::span<const std::int16_t> samples, std::span<double> levels);

// Tick values for an axis over `range`: multiples of 1, 2 or 5 times a power of ten, about
// `wanted` of them.
std::vector<double> RoundTicks(Span range, int wanted);

}  // namespace quorvane
