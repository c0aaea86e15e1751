// quorvane-analyse as a user runs it: files in, rows and pictures out, exit codes.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <QImage>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/form1.h"
#include "capture/wave_drivers.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;

fs::path Dir() {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return fs::temp_directory_path() / ("quorvane-analyse-" + std::string(test->name()));
}

class Analyse : public ::testing::Test {
  void TearDown() override { fs::remove_all(Dir()); }
};

std::string Text(const fs::path& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

struct Outcome {
  int exit_code = -1;
  std::vector<std::string> rows;  // standard output, line by line
  std::string errors;
};

Outcome Tool(const std::string& arguments) {
  fs::create_directories(Dir());
  const std::string out = (Dir() / "stdout").string(), err = (Dir() / "stderr").string();
  const int status =
      std::system((QUORVANE_ANALYSE " " + arguments + " >" + out + " 2>" + err).c_str());
  Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, {}, Text(err)};
  std::ifstream rows(out);
  for (std::string line; std::getline(rows, line);) run.rows.push_back(line);
  return run;
}

// A tone at half scale, the same in every channel.
std::vector<short> Tone(double hz, std::size_t frames, int rate = 22050, int channels = 1) {
  std::vector<short> samples;
  for (std::size_t i = 0; i < frames * channels; ++i)
    samples.push_back(std::lround(16383.5 * std::sin(2 * M_PI * hz * (i / channels) / rate + 1)));
  return samples;
}

std::string Wav(const std::string& name, const std::vector<short>& samples, int rate = 22050,
                int channels = 1) {
  fs::create_directories(Dir());
  SF_INFO info{0, rate, channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* file = sf_open((Dir() / name).c_str(), SFM_WRITE, &info);
  sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  return (Dir() / name).string();
}

// Fields `first` to `last` of a CSV row.
std::string Fields(const std::string& row, int first, int last) {
  std::size_t from = 0, to = 0;
  for (int i = 0; i <= last; ++i) {
    if (i == first) from = to;
    to = row.find(',', to) + 1;
  }
  return row.substr(from, to - from - 1);
}

constexpr double kHzPerBin = 22050.0 / 8192;

TEST_F(Analyse, TonesGiveThePredictedPeakAndNote) {
  const struct {
    double hz;
    int rate, channels;
    std::string options, peak, fine;
  } cases[] = {
      {200 * kHzPerBin, 22050, 1, "", "538", "538.330,C5,49.2"},
      {200 * kHzPerBin, 44100, 2, "", "538", "538.330,C5,49.2"},  // as mono at 22050
      {700 * kHzPerBin, 22050, 1, "", "1883", "1884.155,A#6,18.0"},
      {1003 * kHzPerBin, 22050, 1, "", "2698", "2699.725,E7,40.7"},
      {440, 22050, 1, "", "438", "440.000,A4,0.0"},
      {439.999, 22050, 1, "", "438", "439.999,A4,0.0"},
      {440, 22050, 1, "--a4 442", "438", "440.000,A4,-7.9"},
  };
  for (const auto& c : cases) {
    const double frames = 3 * 8192.0 * c.rate / 22050;
    const Outcome run =
        Tool(c.options + " " +
             Wav("tone.wav", Tone(c.hz, frames, c.rate, c.channels), c.rate, c.channels));
    ASSERT_EQ(run.rows.size(), 4u) << run.errors;
    EXPECT_EQ(run.rows[0],
              "block,start_s,peak_hz,sig_max_db,max_hold_db,noise_db,peak_hz_fine,note,cents");
    for (int block = 1; block <= 3; ++block) {
      EXPECT_EQ(Fields(run.rows[block], 2, 2), c.peak) << c.hz;
      EXPECT_EQ(Fields(run.rows[block], 6, 8), c.fine) << c.hz;
    }
    EXPECT_EQ(Fields(run.rows[3], 0, 1), "2,0.743039");
  }
}

TEST_F(Analyse, SilenceGivesExactRowsAndNoLine) {
  const std::string wav = Wav("silence.wav", std::vector<short>(2 * 8192, 0));
  // Every bin at -140 dB: -14 after one block, -26.6 after two; the figure is -|noise|.
  const std::vector<std::string> rows = Tool(wav).rows;
  EXPECT_EQ(std::vector<std::string>(rows.begin() + 1, rows.end()),
            (std::vector<std::string>{"0,0.000000,0,-14,0,-14,,,", "1,0.371519,0,-27,0,-27,,,"}));
  EXPECT_EQ(Tool("--json " + wav).rows.at(1),
            "{\"block\":1,\"start_s\":0.371519,\"peak_hz\":0,\"sig_max_db\":-27,\"max_hold_db\":0,"
            "\"noise_db\":-27,\"peak_hz_fine\":null,\"note\":null,\"cents\":null,\"freq_text\":"
            "\"0 Hz\",\"sig_max_text\":\"-27 dB anl\",\"max_hold_text\":\"0\",\"noise_text\":"
            "\"-27\"}");
}

TEST_F(Analyse, PictureIsTheWindowsOwn) {
  const auto samples = Tone(640 * kHzPerBin, 3 * 8192);
  const Outcome run = Tool("--ref-level 0 --png " + (Dir() / "tool.png").string() + " --frames " +
                           (Dir() / "frames").string() + " " + Wav("t.wav", samples));
  ASSERT_EQ(run.exit_code, 0) << run.errors;

  // The same three blocks through a window of our own.
  UseMemoryWaveInput(std::vector<std::int16_t>(samples.begin(), samples.end()),
                     MemoryInputEnd::Wait);
  Form1 window([](const std::string&) {});
  window.analyser().StartUp();
  window.analyser().scrReflvl_Change(0);
  for (int block = 0; block < 3; ++block) ASSERT_TRUE(window.analyser().Timer1_Timer());
  window.analyser().Form_QueryUnload();
  UsePulseWaveInput();

  const QImage tool(QString::fromStdString((Dir() / "tool.png").string()));
  EXPECT_TRUE(!tool.isNull() && tool == window.grab().toImage().convertToFormat(tool.format()));
  EXPECT_EQ(Text(Dir() / "frames" / "block-000002.png"), Text(Dir() / "tool.png"));
}

TEST_F(Analyse, InputsAndOptionsGetRowsOrOneLineAndAnExitCode) {
  const std::string whole = Wav("whole.wav", Tone(500, 3 * 8192));
  Wav("three+1.wav", Tone(500, 3 * 8192 + 1));
  Wav("short.wav", Tone(500, 100));
  fs::copy_file(whole, Dir() / "cut.wav", fs::copy_options::overwrite_existing);
  fs::resize_file(Dir() / "cut.wav", fs::file_size(whole) / 2);
  std::ofstream(Dir() / "words.wav") << "not sound, only words\n";
  std::ofstream(Dir() / "two.raw", std::ios::binary) << std::string(2 * 2 * 8192, '\x7f');
  const struct {
    std::string arguments;
    int exit_code;
    std::string says;  // on standard error, all of it after a success
    std::size_t rows;
  } cases[] = {
      {whole, 0, "", 4},
      {(Dir() / "three+1.wav").string(), 0,
       "quorvane-analyse: the last 1 samples make no whole block and were not analysed\n", 4},
      {"- < " + (Dir() / "two.raw").string(), 0, "", 3},
      {(Dir() / "missing.wav").string(), 1, "missing.wav", 0},
      {(Dir() / "words.wav").string(), 1, "words.wav", 0},
      {(Dir() / "cut.wav").string(), 1, "truncated", 0},
      {(Dir() / "short.wav").string(), 1, "shorter than one block", 0},
      {"- < /dev/null", 1, "contains no sound", 0},
      {"--ref-level 61 " + whole, 2, "outside -60..60", 0},
      {"--ref-level loud " + whole, 2, "whole number", 0},
      {"--a4 399.9 " + whole, 2, "400..480", 0},
      {"--colour " + whole, 2, "unknown option --colour", 0},
      {"", 2, "no input", 0},
  };
  for (const auto& c : cases) {
    const Outcome run = Tool(c.arguments);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.arguments;
    EXPECT_EQ(run.rows.size(), c.rows) << c.arguments;
    EXPECT_TRUE(c.exit_code == 0 ? run.errors == c.says
                                 : run.errors.starts_with("quorvane-analyse: ") &&
                                       run.errors.find(c.says) != std::string::npos)
        << c.arguments << ": " << run.errors;
  }
}

}  // namespace
}  // namespace quorvane
