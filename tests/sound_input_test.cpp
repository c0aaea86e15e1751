// Sound as a capture delivers it, from files and raw streams.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <vector>

#include "tools/analyse/sound_input.h"

namespace quorvane {

TEST(SoundInput, DecodesToMonoSixteenBitExactly) {
  const auto path = std::filesystem::temp_directory_path() / "quorvane-sound-input.wav";
  const struct {
    int channels, format;
    std::vector<double> frames;  // interleaved; full scale -1..1 unless 16-bit
    std::vector<std::int16_t> samples;
  } cases[] = {
      {1, SF_FORMAT_PCM_16, {0, 1, -32768, 32767, -16384}, {0, 1, -32768, 32767, -16384}},
      {2, SF_FORMAT_FLOAT, {0.5, 0.25, -1, 1, 0.125, 0.125}, {12288, 0, 4096}},  // averaged
      {1, SF_FORMAT_FLOAT, {1.5, -1.5, 0.99999}, {32767, -32768, 32767}},        // clipped
  };
  for (const auto& c : cases) {
    SF_INFO info{0, 22050, c.channels, SF_FORMAT_WAV | c.format, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (c.format == SF_FORMAT_PCM_16) sf_command(file, SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
    sf_writef_double(file, c.frames.data(), static_cast<sf_count_t>(c.frames.size() / c.channels));
    sf_close(file);
    std::vector<std::int16_t> samples;
    const auto input = SoundInput::OpenFile(path.string());
    while (input->Read(samples, 2) > 0) {
    }
    EXPECT_EQ(samples, c.samples);
  }
  std::filesystem::remove(path);
}

}  // namespace quorvane
