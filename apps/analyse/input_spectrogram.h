#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "apps/analyse/block_cycle.h"
#include "apps/analyse/sound_input.h"
#include "apps/analyse/spectrogram.h"

namespace quorvane {

// The spectrogram of one input, folded as its blocks are transformed; none without a path.
class InputSpectrogram {
 public:
  // Starts the picture when `path` is set: checks that it can be written (a SoundInputError if
  // not) and has `cycle` hand it each block's levels. Stays where it is: the cycle holds it.
  InputSpectrogram(const SpectrogramSettings& settings, const std::string& path, SoundInput& input,
                   BlockCycle& cycle);
  bool wanted() const { return columns_.has_value(); }

  // After the last block: the picture, with `input_name` in its title line.
  void Write(const std::string& input_name) const;

 private:
  const SpectrogramSettings& settings_;
  std::string path_;
  std::optional<SpectrogramColumns> columns_;
};

}  // namespace quorvane
