#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "analyser/analyser.h"
#include "apps/analyse/block_report.h"
#include "apps/analyse/label_readouts.h"
#include "apps/analyse/sound_input.h"
#include "common/fixed_sizes.h"
#include "display/plot_surface.h"

namespace quorvane {

// The window's labels and picture for a run without a window: plain captions with their
// creation texts, and a surface that checks its drawing but keeps no pixels.
struct HeadlessControls {
  TextCaption lblReflvl{"Ref: 0 dB"}, lblMaxHold{"Label1"}, lblMax{"Label1"}, lblFreq{"Label1"},
      Label4{"Label4"};
  PlotSurface Picture1{321, 297};

  HeadlessControls() { Picture1.SetDiscardPixels(true); }
  Form1Controls Controls() { return {lblReflvl, lblMaxHold, lblMax, lblFreq, Label4, Picture1}; }
};

// Called after each block with its index and the frequency, in bins, of its clear spectral
// line if it has one.
using AfterBlock = std::function<void(std::int64_t block, std::optional<double> line_bins)>;

// Called with a block's index, its own levels, bins 0..N/2 as BlockLevels forms them before
// smoothing, and its samples; from the threads that transform the blocks, so possibly from
// several at once and with the blocks in any order.
using BlockLevelsSink = std::function<void(std::int64_t block, std::span<const double> levels,
                                           std::span<const std::int16_t> samples)>;

// Feeds a recording to the analyser block by block.
class BlockCycle {
 public:
  // Reads the first block; a SoundInputError when the input holds no whole block.
  explicit BlockCycle(SoundInput& input);

  // Starts the analyser up on the first block, sets the reference level as the scroll bar
  // would, and runs one acquisition cycle per whole block, calling `after_block` after each.
  // Returns how many trailing samples made no whole block.
  //
  // With one thread every block goes through the capture routines exactly as recorded sound
  // arrives. With more, `threads` workers transform blocks ahead of the window's procedures,
  // which take them in order: the same rows and pictures to the byte.
  //
  // `beside_others`: other recordings run through other analysers in this process at the same
  // time. The capture routines then see the first block only, one recording at a time, and the
  // blocks go ahead even on one thread.
  std::size_t Run(Analyser& analyser, int ref_level, unsigned threads,
                  const AfterBlock& after_block, bool beside_others = false);

  // Has Run hand each block's own levels to `sink`, before `after_block` sees the block.
  void SetBlockLevelsSink(BlockLevelsSink sink) { levels_sink_ = std::move(sink); }

 private:
  bool ReadBlock(std::vector<std::int16_t>& block);
  std::size_t RunInOrder(Analyser& analyser, const AfterBlock& after_block);

  SoundInput& input_;
  std::vector<std::int16_t> first_;
  BlockLevelsSink levels_sink_;
  std::vector<double> levels_;
};

}  // namespace quorvane
