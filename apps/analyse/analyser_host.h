#pragma once

#include <QGuiApplication>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analyser/analyser.h"
#include "apps/analyse/block_cycle.h"
#include "apps/analyse/block_report.h"
#include "apps/spectrum/form1.h"

namespace quorvane {

// Where the procedures run: headless, or in a real (offscreen) window when pictures are
// wanted, so that the pictures are the window's own pixels.
class AnalyserHost {
 public:
  // `with_toolkit`: no window, but text to draw.
  AnalyserHost(bool with_window, bool with_toolkit, int& argc, char** argv);

  Analyser& analyser() { return form_ ? form_->analyser() : *analyser_; }

  // What the readout labels show after `block`, with its place in the recording.
  BlockReadouts Readouts(std::int64_t block) const;
  // Its row, as standard output or an --out file gets it: with the block's clear spectral line
  // (in bins) if it has one, its note in the tuning `a4_hz`, as JSON or else CSV.
  std::string RowAfter(std::int64_t block, std::optional<double> line_bins, double a4_hz,
                       bool json) const;

  // The window's pixels as PNG; nothing when headless.
  void SavePicture(const std::string& path);

 private:
  void StartToolkit(bool with_window, int& argc, char** argv);

  std::unique_ptr<QGuiApplication> application_;
  std::unique_ptr<Form1> form_;
  std::unique_ptr<HeadlessControls> headless_;
  std::unique_ptr<Analyser> analyser_;
};

}  // namespace quorvane
