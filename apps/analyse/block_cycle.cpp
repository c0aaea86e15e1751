#include "apps/analyse/block_cycle.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "apps/analyse/transform_ahead.h"
#include "capture/wave_drivers.h"
#include "dsp/levels.h"

namespace quorvane {

namespace {

constexpr double kFftSize = kBlockSamples;

}  // namespace

BlockCycle::BlockCycle(SoundInput& input) : input_(input) {
  if (!ReadBlock(first_)) {
    throw SoundInputError(input.name() + (first_.empty() ? ": contains no sound"
                                                         : ": shorter than one block (8192 "
                                                           "samples, 0.37 s)"));
  }
}

bool BlockCycle::ReadBlock(std::vector<std::int16_t>& block) {
  block.clear();
  while (block.size() < kBlockSamples) {
    if (input_.Read(block, kBlockSamples - block.size()) == 0) break;
  }
  return block.size() == kBlockSamples;
}

std::size_t BlockCycle::Run(Analyser& analyser, int ref_level, unsigned threads,
                            const AfterBlock& after_block, bool beside_others) {
  // The wave-input driver is chosen for the whole process: one recording at a time chooses it
  // and opens its device on it.
  static std::mutex capture;
  const bool ahead = threads > 1 || beside_others;
  {
    std::unique_lock lock(capture, std::defer_lock);
    if (beside_others) lock.lock();
    // The device gets a copy of the first block: ahead of the window's procedures it goes to
    // a worker as well, and the sink gets it too.
    UseMemoryWaveInput(first_);
    analyser.StartUp();
  }
  if (static_cast<float>(ref_level) != kStartRefLevel)
    analyser.scrReflvl_Change(static_cast<Integer>(ref_level));
  const std::size_t left_over =
      ahead ? TransformAhead(input_, first_, levels_sink_, std::max(threads, 1u))
                  .ShowInOrder(analyser, after_block)
            : RunInOrder(analyser, after_block);
  // Closing touches this recording's own device only.
  analyser.Form_QueryUnload();
  if (!beside_others) UsePulseWaveInput();
  return left_over;
}

std::size_t BlockCycle::RunInOrder(Analyser& analyser, const AfterBlock& after_block) {
  // The samples of the block in hand, for the sink; the device has its own copy.
  std::vector<std::int16_t> samples;
  if (levels_sink_) samples = std::move(first_);
  for (std::int64_t index = 0;; ++index) {
    std::vector<std::int16_t> next;
    const bool next_is_whole = ReadBlock(next);
    const std::size_t left_over = next_is_whole ? 0 : next.size();
    std::vector<std::int16_t> after;
    if (levels_sink_ && next_is_whole) after = next;
    // The restart inside the cycle opens the device on the next block's samples.
    UseMemoryWaveInput(next_is_whole ? std::move(next) : std::vector<std::int16_t>{});
    if (!analyser.Timer1_Timer()) {
      throw SoundInputError("block " + std::to_string(index) + " was not captured");
    }
    if (levels_sink_) {
      // The window's pass smooths as it goes; the block's own levels come from its spectrum.
      const AnalyserState& state = analyser.State();
      levels_.resize(kBins);
      BlockLevels(kFftSize, {state.dblReal.data(), kBlockSamples},
                  {state.dblImag.data(), kBlockSamples}, levels_);
      levels_sink_(index, levels_, samples);
      samples = std::move(after);
    }
    after_block(index, LineBins(analyser.State()));
    if (!next_is_whole) return left_over;
  }
}

}  // namespace quorvane
