// Sound as a capture delivers it: channels averaged, rounded and clipped to 16 bits.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <vector>

#include "tools/analyse/sound_input.h"

namespace quorvane {

TEST(SoundInput, ChannelsAreAveragedRoundedAndClipped) {
  const auto path = std::filesystem::temp_directory_path() / "quorvane-sound-input.wav";
  const double frames[] = {0.5, 0.25, -1, 1, 0.125, 0.125, 1.5, 1.5, -1.5, -1.5, 0.99999, 1};
  SF_INFO info{0, 22050, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  sf_writef_double(file, frames, 6);
  sf_close(file);
  std::vector<std::int16_t> samples;
  const auto input = SoundInput::OpenFile(path.string());
  while (input->Read(samples, 4) > 0) {
  }
  EXPECT_EQ(samples, (std::vector<std::int16_t>{12288, 0, 4096, 32767, -32768, 32767}));
  std::filesystem::remove(path);
}

}  // namespace quorvane
