#pragma once

#include <QImage>
#include <QRect>
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "apps/analyse/spectrogram.h"

namespace quorvane {

// Matplotlib's "inferno" (CC0), 256 steps from black through purple and red to pale yellow:
// even steps of lightness, readable in grey and by most colour-blind eyes.
const std::array<QRgb, 256>& InfernoColours();

// What the picture says around the plot.
struct SpectrogramCaption {
  std::string title;   // the recording's name, length and sample rate
  std::string note;    // how blocks make columns
  double seconds = 0;  // what the time axis spans
};

// The recording's name, length and sample rate as its file gives them (standard input: the raw
// format's 22050/s), and how its `blocks` of `block_samples` make the columns of a plot `width`
// wide.
SpectrogramCaption CaptionFor(const std::string& input, std::int64_t blocks,
                              std::size_t block_samples, int width);

// Where the plot of a `width` x `height` spectrogram sits in its picture.
QRect SpectrogramPlotRect(int width, int height);

// The picture: the cells (rows of `width`, highest frequency first) in colour over `db`, the
// frequency axis over `hz` (ticks on 1-2-5 steps when linear, 1-2-5 steps of decades or
// octaves when log), the time axis, the colour bar and the caption, on white.
QImage DrawSpectrogram(std::span<const float> cells, int width, int height, const FrequencyAxis& hz,
                       Span db, const SpectrogramCaption& caption);

// Writes `picture` as PNG to `path` through a temporary file that replaces it only once
// complete, or without `picture` only checks that it could; what went wrong, or nothing.
std::string WritePicture(const std::string& path, const QImage* picture = nullptr);

}  // namespace quorvane
