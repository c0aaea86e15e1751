#include "tools/analyse/block_cycle.h"

#include <string>
#include <utility>

#include "capture/wave_drivers.h"

namespace quorvane {

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

std::size_t BlockCycle::Run(Analyser& analyser, int ref_level,
                            const std::function<void(std::int64_t block)>& after_block) {
  UseMemoryWaveInput(std::move(first_));
  analyser.StartUp();
  if (static_cast<float>(ref_level) != kStartRefLevel)
    analyser.scrReflvl_Change(static_cast<Integer>(ref_level));

  std::size_t left_over = 0;
  for (std::int64_t index = 0;; ++index) {
    std::vector<std::int16_t> next;
    const bool next_is_whole = ReadBlock(next);
    if (!next_is_whole) left_over = next.size();
    // The restart inside the cycle opens the device on the next block's samples.
    UseMemoryWaveInput(next_is_whole ? std::move(next) : std::vector<std::int16_t>{});
    if (!analyser.Timer1_Timer()) {
      throw SoundInputError("block " + std::to_string(index) + " was not captured");
    }
    after_block(index);
    if (!next_is_whole) break;
  }
  analyser.Form_QueryUnload();
  UsePulseWaveInput();
  return left_over;
}

}  // namespace quorvane
