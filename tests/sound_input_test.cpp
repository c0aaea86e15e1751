#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tools/analyse/sound_input.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;

class SoundInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("quorvane-sound-" +
           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  // Writes interleaved samples (full scale -1..1) as a file of the given format.
  fs::path Write(const std::string& name, const std::vector<double>& frames, int rate, int channels,
                 int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
    const fs::path path = dir / name;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_writef_double(file, frames.data(), static_cast<sf_count_t>(frames.size() / channels));
    sf_close(file);
    return path;
  }

  static std::vector<std::int16_t> ReadAll(SoundInput& input) {
    std::vector<std::int16_t> samples;
    while (input.Read(samples, 5000) > 0) {
    }
    return samples;
  }

  fs::path dir;
};

std::vector<double> Tone(double hz, int rate, int count, double amplitude = 0.5) {
  std::vector<double> samples(count);
  for (int i = 0; i < count; ++i) samples[i] = amplitude * std::sin(2 * M_PI * hz * i / rate);
  return samples;
}

TEST_F(SoundInputTest, NativeMonoSixteenBitPassesThroughExactly) {
  const std::vector<short> samples = {0, 1, -32768, 32767, -16384, 8192};
  const fs::path path = dir / "exact.wav";
  SF_INFO info{0, 22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  const auto input = SoundInput::OpenFile(path.string());
  EXPECT_EQ(input->ExpectedSamples(), 6);
  EXPECT_EQ(ReadAll(*input), (std::vector<std::int16_t>(samples.begin(), samples.end())));
}

TEST_F(SoundInputTest, ChannelsAreAveraged) {
  const std::vector<double> stereo = {0.5, 0.25, -1, 1, 0.125, 0.125};
  const auto input =
      SoundInput::OpenFile(Write("stereo.wav", stereo, 22050, 2, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
  EXPECT_EQ(ReadAll(*input), (std::vector<std::int16_t>{12288, 0, 4096}));
}

TEST_F(SoundInputTest, OtherRatesAreResampledTo22050) {
  const int count = 44100;  // one second
  const auto mono = Tone(1000, 44100, count);
  const auto input =
      SoundInput::OpenFile(Write("tone44.flac", mono, 44100, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
  const auto samples = ReadAll(*input);
  EXPECT_NEAR(static_cast<double>(samples.size()), 22050, 2);
  // The tone keeps its frequency and level: correlate with 1 kHz at the new rate.
  double re = 0, im = 0;
  for (std::size_t i = 1000; i < 21000; ++i) {
    re += samples[i] * std::cos(2 * M_PI * 1000 * i / 22050.0);
    im += samples[i] * std::sin(2 * M_PI * 1000 * i / 22050.0);
  }
  const double amplitude = 2 * std::hypot(re, im) / 20000 / 32768;
  EXPECT_NEAR(amplitude, 0.5, 0.01);
}

TEST_F(SoundInputTest, LoudSamplesClipAtFullScale) {
  const auto input = SoundInput::OpenFile(
      Write("loud.wav", {1.5, -1.5, 0.99999}, 22050, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT));
  EXPECT_EQ(ReadAll(*input), (std::vector<std::int16_t>{32767, -32768, 32767}));
}

TEST_F(SoundInputTest, RawStreamIsLittleEndianSixteenBit) {
  std::FILE* stream = std::tmpfile();
  const unsigned char bytes[] = {0x01, 0x00, 0x00, 0x80, 0xff, 0x7f, 0x07};
  std::fwrite(bytes, 1, sizeof bytes, stream);
  std::rewind(stream);
  const auto input = SoundInput::OpenRaw(stream, "-");
  EXPECT_EQ(ReadAll(*input), (std::vector<std::int16_t>{1, -32768, 32767}));
  std::fclose(stream);
}

TEST_F(SoundInputTest, UnreadableInputsSayWhy) {
  EXPECT_THROW(SoundInput::OpenFile((dir / "missing.wav").string()), SoundInputError);
  { std::ofstream(dir / "text.wav") << "this is not sound at all, just some words\n"; }
  EXPECT_THROW(SoundInput::OpenFile((dir / "text.wav").string()), SoundInputError);
  const fs::path empty = Write("empty.wav", {}, 22050, 1);
  try {
    SoundInput::OpenFile(empty.string());
    FAIL() << "an empty file has no block to analyse";
  } catch (const SoundInputError& error) {
    EXPECT_NE(std::string(error.what()).find("no sound"), std::string::npos) << error.what();
  }
}

TEST_F(SoundInputTest, CutOffFilesAreRefused) {
  const fs::path whole = Write("whole.wav", Tone(440, 22050, 30000), 22050, 1);
  const fs::path cut = dir / "cut.wav";
  fs::copy_file(whole, cut);
  fs::resize_file(cut, fs::file_size(whole) / 2);
  try {
    const auto input = SoundInput::OpenFile(cut.string());
    ReadAll(*input);
    FAIL() << "a cut-off file must not pass for a complete one";
  } catch (const SoundInputError& error) {
    EXPECT_NE(std::string(error.what()).find("truncated"), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace quorvane
