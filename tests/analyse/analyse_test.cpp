// quorvane-analyse as a user runs it: files in, rows and pictures out, exit codes.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <QImage>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/form1.h"
#include "capture/wave_drivers.h"
#include "dsp/levels.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int exit_code = -1;
  std::vector<std::string> rows;  // standard output, line by line
  std::string errors;             // standard error
};

class AnalyseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("quorvane-analyse-" +
           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  Outcome Analyse(const std::string& arguments) {
    const fs::path out = dir / "stdout", err = dir / "stderr";
    const std::string command = std::string("QT_QPA_PLATFORM=offscreen ") + QUORVANE_ANALYSE + " " +
                                arguments + " >" + out.string() + " 2>" + err.string();
    const int status = std::system(command.c_str());
    Outcome run;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream rows(out);
    for (std::string line; std::getline(rows, line);) run.rows.push_back(line);
    std::stringstream errors;
    errors << std::ifstream(err).rdbuf();
    run.errors = errors.str();
    return run;
  }

  fs::path WriteWav(const std::string& name, const std::vector<short>& interleaved, int rate,
                    int channels) {
    const fs::path path = dir / name;
    SF_INFO info{0, rate, channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr);
    sf_write_short(file, interleaved.data(), static_cast<sf_count_t>(interleaved.size()));
    sf_close(file);
    return path;
  }

  fs::path dir;
};

std::vector<short> Tone(double hz, int rate, std::size_t count, double amplitude = 0.5) {
  std::vector<short> samples(count);
  for (std::size_t i = 0; i < count; ++i) {
    samples[i] =
        static_cast<short>(std::lround(amplitude * 32767 * std::sin(2 * M_PI * hz * i / rate)));
  }
  return samples;
}

// The frequency at the centre of a bin, so the strongest bin is known in advance.
double BinHz(int bin) {
  return bin * 22050.0 / 8192;
}

std::string Field(const std::string& row, int index) {
  std::stringstream fields(row);
  std::string field;
  for (int i = 0; i <= index; ++i) std::getline(fields, field, ',');
  return field;
}

TEST_F(AnalyseTest, KnownTonesGiveThePredictedPeak) {
  for (int bin : {200, 700, 1003}) {
    const Outcome run =
        Analyse(WriteWav("tone.wav", Tone(BinHz(bin), 22050, 3 * 8192), 22050, 1).string());
    ASSERT_EQ(run.exit_code, 0) << run.errors;
    ASSERT_EQ(run.rows.size(), 4u);
    EXPECT_EQ(run.rows[0], "block,start_s,peak_hz,sig_max_db,max_hold_db,noise_db");
    for (int block = 1; block <= 3; ++block) {
      EXPECT_EQ(Field(run.rows[block], 2), std::to_string(PeakFrequency(bin))) << bin;
    }
    EXPECT_EQ(Field(run.rows[3], 1), "0.743039");
  }
}

TEST_F(AnalyseTest, StereoAt44100MatchesMonoAt22050) {
  const double hz = BinHz(400);
  std::vector<short> stereo;
  for (short s : Tone(hz, 44100, 4 * 16384)) {
    stereo.push_back(s);
    stereo.push_back(s);
  }
  const Outcome mono = Analyse(WriteWav("mono.wav", Tone(hz, 22050, 4 * 8192), 22050, 1).string());
  const Outcome wide = Analyse(WriteWav("stereo.wav", stereo, 44100, 2).string());
  ASSERT_EQ(mono.exit_code, 0) << mono.errors;
  ASSERT_EQ(wide.exit_code, 0) << wide.errors;
  ASSERT_EQ(mono.rows.size(), wide.rows.size());
  for (std::size_t i = 1; i < mono.rows.size(); ++i) {
    EXPECT_EQ(Field(wide.rows[i], 2), Field(mono.rows[i], 2)) << i;
  }
}

TEST_F(AnalyseTest, WholeBlocksOnlyAndANoteForTheRest) {
  Outcome run = Analyse(WriteWav("three.wav", Tone(700, 22050, 3 * 8192), 22050, 1).string());
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.rows.size(), 1u + 3);
  EXPECT_EQ(run.errors, "");

  run = Analyse(WriteWav("three+1.wav", Tone(700, 22050, 3 * 8192 + 1), 22050, 1).string());
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.rows.size(), 1u + 3);
  EXPECT_NE(run.errors.find("last 1 samples make no whole block"), std::string::npos) << run.errors;
}

TEST_F(AnalyseTest, SilenceAndQuietInputStillGiveRows) {
  Outcome run =
      Analyse(WriteWav("silence.wav", std::vector<short>(2 * 8192, 0), 22050, 1).string());
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  ASSERT_EQ(run.rows.size(), 3u);
  // Every bin at -140 dB: -14 after one block, -26.6 after two; the figure is -|noise|.
  EXPECT_EQ(run.rows[1], "0,0.000000,0,-14,0,-14");
  EXPECT_EQ(run.rows[2], "1,0.371519,0,-27,0,-27");

  run = Analyse(WriteWav("quiet.wav", Tone(1000, 22050, 2 * 8192, 0.0001), 22050, 1).string());
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_EQ(run.rows.size(), 3u);
}

TEST_F(AnalyseTest, RawStandardInput) {
  const auto samples = Tone(BinHz(300), 22050, 2 * 8192);
  {
    std::ofstream raw(dir / "tone.raw", std::ios::binary);
    for (short s : samples) {
      raw.put(static_cast<char>(s & 0xff));
      raw.put(static_cast<char>((s >> 8) & 0xff));
    }
  }
  const Outcome run = Analyse("- < " + (dir / "tone.raw").string());
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  ASSERT_EQ(run.rows.size(), 3u);
  EXPECT_EQ(Field(run.rows[2], 2), std::to_string(PeakFrequency(300)));
}

TEST_F(AnalyseTest, JsonCarriesTheLabelTexts) {
  const Outcome run =
      Analyse("--json " + WriteWav("t.wav", Tone(BinHz(372), 22050, 8192), 22050, 1).string());
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_NE(run.rows[0].find("\"peak_hz\":1001,"), std::string::npos) << run.rows[0];
  EXPECT_NE(run.rows[0].find("\"freq_text\":\"1001 Hz\""), std::string::npos) << run.rows[0];
}

TEST_F(AnalyseTest, ReferenceLevelMovesThePictureNotTheNumbers) {
  const fs::path wav = WriteWav("t.wav", Tone(BinHz(500), 22050, 2 * 8192), 22050, 1);
  const Outcome usual = Analyse("--png " + (dir / "30.png").string() + " " + wav.string());
  const Outcome lower =
      Analyse("--ref-level 0 --png " + (dir / "0.png").string() + " " + wav.string());
  ASSERT_EQ(usual.exit_code, 0) << usual.errors;
  ASSERT_EQ(lower.exit_code, 0) << lower.errors;
  EXPECT_EQ(usual.rows, lower.rows);
  const QImage a(QString::fromStdString((dir / "30.png").string()));
  const QImage b(QString::fromStdString((dir / "0.png").string()));
  ASSERT_FALSE(a.isNull());
  ASSERT_EQ(a.size(), b.size());
  EXPECT_NE(a, b);
}

TEST_F(AnalyseTest, PictureIsTheWindowsOwn) {
  const auto samples = Tone(BinHz(640), 22050, 3 * 8192);
  const fs::path wav = WriteWav("t.wav", samples, 22050, 1);
  const Outcome run = Analyse("--png " + (dir / "tool.png").string() + " --frames " +
                              (dir / "frames").string() + " " + wav.string());
  ASSERT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_TRUE(fs::exists(dir / "frames" / "block-000002.png"));

  // The same three blocks through a window of our own.
  UseMemoryWaveInput(std::vector<std::int16_t>(samples.begin(), samples.end()),
                     MemoryInputEnd::Wait);
  Form1 window([](const std::string&) {});
  window.analyser().StartUp();
  for (int block = 0; block < 3; ++block) ASSERT_TRUE(window.analyser().Timer1_Timer());
  window.analyser().Form_QueryUnload();
  UsePulseWaveInput();

  const QImage tool(QString::fromStdString((dir / "tool.png").string()));
  const QImage own = window.grab().toImage().convertToFormat(tool.format());
  ASSERT_EQ(tool.size(), own.size());
  EXPECT_TRUE(tool == own) << "the tool's picture differs from the window's";
  const QImage last_frame(QString::fromStdString((dir / "frames" / "block-000002.png").string()));
  EXPECT_TRUE(last_frame == tool);
}

TEST_F(AnalyseTest, BadInputGetsOneLineAndAnExitCode) {
  { std::ofstream(dir / "words.wav") << "not sound, only words\n"; }
  const fs::path whole = WriteWav("whole.wav", Tone(500, 22050, 3 * 8192), 22050, 1);
  fs::copy_file(whole, dir / "cut.wav");
  fs::resize_file(dir / "cut.wav", fs::file_size(whole) / 2);
  WriteWav("short.wav", Tone(500, 22050, 100), 22050, 1);

  const struct {
    std::string arguments;
    int exit_code;
    std::string says;
  } cases[] = {
      {(dir / "missing.wav").string(), 1, "missing.wav"},
      {(dir / "words.wav").string(), 1, "words.wav"},
      {(dir / "cut.wav").string(), 1, "truncated"},
      {(dir / "short.wav").string(), 1, "shorter than one block"},
      {"- < /dev/null", 1, "contains no sound"},
      {"--ref-level 61 " + whole.string(), 2, "outside -60..60"},
      {"--ref-level loud " + whole.string(), 2, "whole number"},
      {"--colour " + whole.string(), 2, "unknown option --colour"},
      {"", 2, "no input"},
  };
  for (const auto& c : cases) {
    const Outcome run = Analyse(c.arguments);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.arguments;
    EXPECT_NE(run.errors.find(c.says), std::string::npos) << c.arguments << ": " << run.errors;
    EXPECT_EQ(run.errors.rfind("quorvane-analyse: ", 0), 0u) << run.errors;
    const bool header_only = run.rows.size() <= 1;
    EXPECT_TRUE(header_only) << c.arguments;
  }
}

}  // namespace
}  // namespace quorvane
