#include "apps/analyse/spectrogram.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numbers>

#include "common/fixed_sizes.h"
#include "dsp/fft.h"
#include "dsp/levels.h"

namespace quorvane {

namespace {
constexpr float kNothing = -std::numeric_limits<float>::infinity();
// A block of digital silence gives every bin exactly this; it says nothing about noise.
constexpr float kSilenceDb = -140;
constexpr int kMinSide = 8, kMaxSide = 4096;
constexpr double kTopHz = 11025;

// "LO-HI", each number with its own sign: "-90--20" is -90 to -20.
std::optional<Span> ParseSpan(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double low = std::strtod(begin, &end);
  if (end == begin || *end != '-') return std::nullopt;
  const char* second = end + 1;
  const double high = std::strtod(second, &end);
  if (end == second || *end != '\0' || !std::isfinite(low) || !std::isfinite(high))
    return std::nullopt;
  return Span{low, high};
}
}  // namespace

std::string ParseSpectrogramSetting(const std::string& option, const std::string& value,
                                    SpectrogramSettings& settings) {
  if (option == "--size") {
    char* end = nullptr;
    const long width = std::strtol(value.c_str(), &end, 10);
    const char* second = *end == 'x' ? end + 1 : nullptr;
    const long height = second ? std::strtol(second, &end, 10) : 0;
    if (!second || end == second || *end != '\0' || width < kMinSide || width > kMaxSide ||
        height < kMinSide || height > kMaxSide)
      return "--size wants WIDTHxHEIGHT in pixels, each 8..4096, not '" + value + "'";
    settings.width = static_cast<int>(width);
    settings.height = static_cast<int>(height);
    return {};
  }
  if (option == "--freq-scale") {
    if (value != "linear" && value != "log")
      return "--freq-scale wants linear or log, not '" + value + "'";
    settings.scale = value == "log" ? FrequencyScale::kLog : FrequencyScale::kLinear;
    return {};
  }
  if (option == "--window") {
    if (value != "none" && value != "hann")
      return "--window wants none or hann, not '" + value + "'";
    settings.hann = value == "hann";
    return {};
  }
  const std::optional<Span> span = ParseSpan(value);
  if (option == "--freq") {
    if (!span || span->low < 0 || span->high > kTopHz || span->low >= span->high)
      return "--freq wants LO-HI in Hz with 0 <= LO < HI <= 11025, not '" + value + "'";
    settings.hz = *span;
    settings.hz_given = true;
    return {};
  }
  if (!span || span->low >= span->high)
    return "--db wants LO-HI in dB with LO below HI, not '" + value + "'";
  settings.db = span;
  return {};
}

std::string FinishSpectrogramSettings(SpectrogramSettings& settings) {
  if (settings.scale != FrequencyScale::kLog || settings.hz.low > 0) return {};
  // 20 Hz: the bottom of hearing, and about the lowest line a block of 0.37 s tells apart.
  if (!settings.hz_given) {
    settings.hz.low = 20;
    return {};
  }
  return "--freq-scale log wants --freq LO above 0 Hz";
}

void HannLevels(std::span<const std::int16_t> samples, std::span<double> levels) {
  constexpr std::size_t kSize = kBlockSamples;
  // 1 - cos rather than (1 - cos) / 2: the window's mean is then 1, so a steady tone between
  // bins reads as high as it does without it.
  static const std::vector<double> window = [] {
    std::vector<double> values(kSize);
    for (std::size_t i = 0; i < kSize; ++i)
      values[i] = 1 - std::cos(2 * std::numbers::pi * static_cast<double>(i) / kSize);
    return values;
  }();
  thread_local std::vector<double> real(kSize), imag(kSize);
  for (std::size_t i = 0; i < kSize; ++i) {
    real[i] = samples[i] / 32768.0 * window[i];
    imag[i] = 0;
  }
  FFT(static_cast<std::int16_t>(kSize), real, imag);
  BlockLevels(static_cast<double>(kSize), real, imag, levels);
}

SpectrogramColumns::SpectrogramColumns(int width, int height, const FrequencyAxis& hz,
                                       double hz_per_bin, std::int64_t expected_blocks)
    : width_(width),
      height_(height),
      columns_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
  // Bin i stands for hz_per_bin * (i - 1/2) .. hz_per_bin * (i + 1/2); a row takes every bin
  // whose stretch meets its own, so each row has at least one.
  const double row_hz = (hz.high - hz.low) / height;
  const bool log = hz.scale == FrequencyScale::kLog;
  for (int row = 0; row < height; ++row) {
    const double from = log ? hz.Hz(static_cast<double>(row) / height) : hz.low + row * row_hz;
    const double to =
        log ? hz.Hz(static_cast<double>(row + 1) / height) : hz.low + (row + 1) * row_hz;
    first_bin_.push_back(static_cast<int>(std::floor(from / hz_per_bin - 0.5)) + 1);
    last_bin_.push_back(static_cast<int>(std::ceil(to / hz_per_bin + 0.5)) - 1);
  }
  if (expected_blocks > width)
    blocks_per_column_ = static_cast<int>((expected_blocks + width - 1) / width);
}

void SpectrogramColumns::Add(std::int64_t block, std::span<const double> levels) {
  // The rows first, outside the lock: the bulk of the work, and each thread's own.
  thread_local std::vector<float> rows;
  rows.resize(static_cast<std::size_t>(height_));
  const int top_bin = static_cast<int>(levels.size()) - 1;
  for (int row = 0; row < height_; ++row) {
    double loudest = kNothing;
    for (int bin = std::max(first_bin_[row], 0); bin <= std::min(last_bin_[row], top_bin); ++bin)
      loudest = std::max(loudest, levels[bin]);
    rows[row] = static_cast<float>(loudest);
  }

  std::lock_guard lock(mutex_);
  while (block / blocks_per_column_ >= width_) {
    // Pairs into one: column j takes 2j and 2j+1; an odd last one stays alone, half full.
    for (int j = 0; 2 * j < columns_used_; ++j) {
      for (int row = 0; row < height_; ++row) {
        float& merged = columns_[j * height_ + row];
        merged = columns_[2 * j * height_ + row];
        if (2 * j + 1 < columns_used_)
          merged = std::max(merged, columns_[(2 * j + 1) * height_ + row]);
      }
    }
    columns_used_ = (columns_used_ + 1) / 2;
    blocks_per_column_ *= 2;
  }
  const auto column = static_cast<int>(block / blocks_per_column_);
  for (; columns_used_ <= column; ++columns_used_) {
    std::fill_n(columns_.begin() + static_cast<std::ptrdiff_t>(columns_used_) * height_, height_,
                kNothing);
  }
  float* cells = columns_.data() + static_cast<std::ptrdiff_t>(column) * height_;
  for (int row = 0; row < height_; ++row) cells[row] = std::max(cells[row], rows[row]);
  blocks_ = std::max(blocks_, block + 1);
}

std::vector<float> SpectrogramColumns::Cells() const {
  std::vector<float> cells(columns_.size(), kNothing);
  if (blocks_ == 0) return cells;
  // Pixel x covers blocks x*B/W up to (x+1)*B/W; in units of 1/W block, to stay whole.
  const std::int64_t column_units = static_cast<std::int64_t>(width_) * blocks_per_column_;
  for (int x = 0; x < width_; ++x) {
    const auto first = static_cast<int>(x * blocks_ / column_units);
    const auto last =
        std::min(static_cast<int>(((x + 1) * blocks_ - 1) / column_units), columns_used_ - 1);
    for (int row = 0; row < height_; ++row) {
      float& cell = cells[static_cast<std::size_t>(height_ - 1 - row) * width_ + x];
      for (int j = first; j <= last; ++j) cell = std::max(cell, columns_[j * height_ + row]);
    }
  }
  return cells;
}

Span DefaultDbRange(std::span<const float> cells) {
  // A histogram in 0.1 dB steps from just above silence: one pass, no copy of the cells.
  constexpr double kStep = 0.1, kFrom = kSilenceDb + 0.5;
  std::vector<std::int64_t> counts(static_cast<std::size_t>(400 / kStep));
  std::int64_t heard = 0;
  float loudest = kNothing;
  for (float level : cells) {
    if (!(level > kFrom)) continue;
    const auto step = static_cast<std::size_t>((level - kFrom) / kStep);
    ++counts[std::min(step, counts.size() - 1)];
    ++heard;
    loudest = std::max(loudest, level);
  }
  if (heard == 0) return {kSilenceDb, kSilenceDb + 10};
  std::size_t tenth = 0;
  for (std::int64_t below = counts[0]; below <= heard / 10; below += counts[++tenth]) {
  }
  const double floor = 10 * std::floor((kFrom + tenth * kStep) / 10);
  const double top = 10 * std::ceil(loudest / 10.0);
  return {floor, std::max(top, floor + 10)};
}

std::vector<double> RoundTicks(Span range, int wanted) {
  const double rough = (range.high - range.low) / std::max(wanted, 1);
  const double power = std::pow(10, std::floor(std::log10(rough)));
  double step = 10 * power;
  for (double factor : {1, 2, 5}) {
    if (factor * power >= rough) {
      step = factor * power;
      break;
    }
  }
  std::vector<double> ticks;
  // Multiples of the step, counted whole so that 0.3 is not 0.30000000000000004.
  for (auto n = static_cast<long>(std::ceil(range.low / step - 1e-9));
       n * step <= range.high + 1e-9 * step; ++n)
    ticks.push_back(static_cast<double>(n) * step);
  return ticks;
}

}  // namespace quorvane
