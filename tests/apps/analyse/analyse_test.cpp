// quorvane-analyse as a user runs it: files in, rows and pictures out, exit codes; and the
// fine peak frequency it reports.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "analyser/analyser_state.h"
#include "apps/analyse/block_report.h"
#include "apps/analyse/sound_input.h"
#include "apps/analyse/spectrogram_picture.h"
#include "apps/spectrum/form1.h"
#include "capture/wave_drivers.h"
#include "display/plot_drawing.h"
#include "display/trace.h"
#include "dsp/fft.h"
#include "dsp/fine_frequency.h"
#include "tests/core/analyser/started_state.h"
#include "tests/core/capture/sound_server.h"
#include "tests/raises.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;

fs::path Dir() {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::ranges::replace(name, '/', '-');
  // One per process too: runs from several checkouts may share the temporary folder.
  return fs::temp_directory_path() / ("quorvane-analyse-" + name + "-" + std::to_string(getpid()));
}

template <class Base = ::testing::Test>
struct InFolder : Base {
  void SetUp() override { fs::create_directories(Dir()); }
  void TearDown() override { fs::remove_all(Dir()); }
};
using Analyse = InFolder<>;

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

// Runs in the test's folder, where the files are.
Outcome Shell(const std::string& command) {
  const int status =
      std::system(("cd " + Dir().string() + " && { " + command + "; } >out 2>err").c_str());
  Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, {}, Text(Dir() / "err")};
  std::ifstream rows(Dir() / "out");
  for (std::string line; std::getline(rows, line);) run.rows.push_back(line);
  return run;
}

Outcome Tool(const std::string& arguments) {
  return Shell(QUORVANE_ANALYSE " " + arguments);
}

// A tone at half scale, the same in every channel.
std::vector<short> Tone(double hz, std::size_t frames, int rate = 22050, int channels = 1) {
  std::vector<short> samples;
  for (std::size_t i = 0; i < frames * channels; ++i) {
    const std::size_t frame = i / channels;
    samples.push_back(std::lround(16383.5 * std::sin(2 * M_PI * hz * frame / rate + 1)));
  }
  return samples;
}

std::string Wav(const std::string& name, const std::vector<short>& samples, int rate = 22050,
                int channels = 1) {
  SF_INFO info{0, rate, channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* file = sf_open((Dir() / name).c_str(), SFM_WRITE, &info);
  sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  return name;
}

constexpr double kHzPerBin = 22050.0 / 8192;

TEST_F(Analyse, TonesGiveThePredictedPeakAndNote) {
  const struct {
    double hz;
    int channels;  // two at 44100/s
    std::string options, peak, fine;
  } cases[] = {
      {200 * kHzPerBin, 1, "", "538", "538.330,C5,49.2"},
      {200 * kHzPerBin, 2, "", "538", "538.330,C5,49.2"},
      {700 * kHzPerBin, 1, "", "1883", "1884.155,A#6,18.0"},
      {1003 * kHzPerBin, 1, "", "2698", "2699.725,E7,40.7"},
      {440, 1, "", "438", "440.000,A4,0.0"},
      {439.999, 1, "", "438", "439.999,A4,0.0"},
      {440, 1, "--a4 442", "438", "440.000,A4,-7.9"},
  };
  for (const auto& c : cases) {
    const int rate = 22050 * c.channels;
    const Outcome run =
        Tool(c.options + " " +
             Wav("t.wav", Tone(c.hz, 3 * 8192 * c.channels, rate, c.channels), rate, c.channels));
    ASSERT_EQ(run.rows.size(), 4u) << run.errors;
    for (int block = 1; block <= 3; ++block)
      EXPECT_TRUE(
          std::regex_match(run.rows[block], std::regex(std::to_string(block - 1) + ",[0-9.]+," +
                                                       c.peak + "(,-?[0-9]+){3}," + c.fine)))
          << run.rows[block];
  }
}

// Silence, tones and noise, and a part block, on one thread and on four; the window's own
// procedures draw the same picture.
TEST_F(Analyse, ThreadsChangeNoByteAndThePictureIsTheWindowsOwn) {
  std::mt19937 random(3);
  std::normal_distribution<double> noise(0, 3000);
  std::vector<short> mixed(300 * 8192 + 100);
  for (std::size_t i = 2 * 8192, block; i < 300 * 8192; ++i) {
    block = i / 8192;
    mixed[i] = std::lround(block % 3 ? 16383.5 * std::sin(2 * M_PI * (300 + 7 * block) * i / 22050)
                                     : noise(random));
  }
  const std::string wav = Wav("mixed.wav", mixed);
  std::vector<Outcome> runs;
  for (std::string threads : {"1", "4"}) {
    for (const std::string& options : {std::string("--json"), "--frames " + threads})
      runs.push_back(Tool(options + " --threads " + threads + " --ref-level 0 --png " + threads +
                          ".png" + " " + wav));
  }
  EXPECT_TRUE(runs[0].rows == runs[2].rows && runs[1].rows == runs[3].rows);
  EXPECT_TRUE(Text(Dir() / "4" / "block-000299.png") == Text(Dir() / "4.png"));
  EXPECT_TRUE(Text(Dir() / "1.png") == Text(Dir() / "4.png"));
  // Every bin at -140 dB: -14 after one block, -26.6 after two; the figure is -|noise|.
  EXPECT_EQ(std::vector<std::string>(runs[3].rows.begin(), runs[3].rows.begin() + 3),
            (std::vector<std::string>{
                "block,start_s,peak_hz,sig_max_db,max_hold_db,noise_db,peak_hz_fine,note,cents",
                "0,0.000000,0,-14,0,-14,,,", "1,0.371519,0,-27,0,-27,,,"}));
  EXPECT_EQ(runs[2].rows.at(1),
            "{\"block\":1,\"start_s\":0.371519,\"peak_hz\":0,\"sig_max_db\":-27,\"max_hold_db\":0,"
            "\"noise_db\":-27,\"peak_hz_fine\":null,\"note\":null,\"cents\":null,\"freq_text\":"
            "\"0 Hz\",\"sig_max_text\":\"-27 dB anl\",\"max_hold_text\":\"0\",\"noise_text\":"
            "\"-27\"}");

  UseMemoryWaveInput(std::vector<std::int16_t>(mixed.begin(), mixed.end()), MemoryInputEnd::Wait);
  Form1 window([](const std::string&) {});
  window.analyser().StartUp();
  window.analyser().scrReflvl_Change(0);
  for (int block = 0; block < 300; ++block) ASSERT_TRUE(window.analyser().Timer1_Timer());
  window.analyser().Form_QueryUnload();
  UsePulseWaveInput();
  const QImage tool(QString::fromStdString((Dir() / "4.png").string()));
  EXPECT_TRUE(!tool.isNull() && tool == window.grab().toImage().convertToFormat(tool.format()));
}

TEST_F(Analyse, InputsAndOptionsGetRowsOrOneLineAndAnExitCode) {
  const std::string whole = Wav("whole.wav", Tone(500, 3 * 8192));
  Wav("three+1.wav", Tone(500, 3 * 8192 + 1));
  Wav("short.wav", Tone(500, 100));
  fs::copy_file(Dir() / whole, Dir() / "cut.wav");
  fs::resize_file(Dir() / "cut.wav", fs::file_size(Dir() / whole) / 2);
  std::ofstream(Dir() / "words.wav") << "not sound, only words\n";
  std::ofstream(Dir() / "two.raw", std::ios::binary) << std::string(2 * 2 * 8192, '\x7f');
  const struct {
    std::string arguments;
    int exit_code;
    std::string says;  // on standard error, all of it after a success
    std::size_t rows;
  } cases[] = {
      {"three+1.wav", 0,
       "quorvane-analyse: the last 1 samples make no whole block and were not analysed\n", 4},
      {"- < two.raw", 0, "", 3},
      {"missing.wav", 1, "missing.wav", 0},
      {"words.wav", 1, "words.wav", 0},
      {"cut.wav", 1, "truncated", 0},
      {"--threads 1 short.wav", 1, "shorter than one block", 0},
      {"--threads 4 short.wav", 1, "shorter than one block", 0},
      {"- < /dev/null", 1, "contains no sound", 0},
      {"--ref-level 61 " + whole, 2, "outside -60..60", 0},
      {"--ref-level loud " + whole, 2, "whole number", 0},
      {"--a4 399.9 " + whole, 2, "400..480", 0},
      {"--threads 0 " + whole, 2, "--threads wants a whole number", 0},
      {"--colour " + whole, 2, "unknown option --colour", 0},
      {"--live " + whole, 2, "--live records the sound input, not 'whole.wav'", 0},
      {"--live --png a.png", 2, "--png is for files, not --live", 0},
      {"--seconds 5 " + whole, 2, "--seconds is for --live", 0},
      {"--live --blocks 0", 2, "--blocks wants a whole number of blocks above 0", 0},
      {"--live --wait inf", 2, "--wait wants a number of seconds above 0, not 'inf'", 0},
      {"--spectrogram s.png --size 0x10 " + whole, 2, "--size wants WIDTHxHEIGHT", 0},
      {"--spectrogram s.png --freq 3000-200 " + whole, 2, "--freq wants LO-HI", 0},
      {"--spectrogram s.png --db 10-10 " + whole, 2, "--db wants LO-HI", 0},
      {"--db -90--20 " + whole, 2, "--db is for --spectrogram FILE, which is not given", 0},
      {"--spectrogram s.png --freq-scale cubic " + whole, 2, "--freq-scale wants linear or log", 0},
      {"--spectrogram s.png --window blackman " + whole, 2, "--window wants none or hann", 0},
      {"--spectrogram s.png --freq 0-100 --freq-scale log " + whole, 2,
       "--freq-scale log wants --freq LO above 0 Hz", 0},
      {"--window hann " + whole, 2, "--window is for --spectrogram FILE, which is not given", 0},
      {"--spectrogram no/folder/s.png " + whole, 1, "cannot write the picture no/folder/s.png", 0},
      {"--spectrogram s.png cut.wav", 1, "truncated", 0},
      {"", 2, "no input", 0},
      {whole + " " + whole, 2, "one input only, or --out DIR", 0},
      {"--out d --png p.png " + whole, 2, "do not go with --out", 0},
      {"--out d - < two.raw", 2, "standard input goes without it", 0},
  };
  for (const auto& c : cases) {
    const Outcome run = Tool(c.arguments);
    EXPECT_TRUE(run.exit_code == c.exit_code && run.rows.size() == c.rows &&
                (c.exit_code == 0 ? run.errors == c.says
                                  : run.errors.starts_with("quorvane-analyse: ") &&
                                        run.errors.find(c.says) != std::string::npos))
        << c.arguments << ": exit " << run.exit_code << ", " << run.rows.size() << " rows, "
        << run.errors;
  }
  for (const auto& entry : fs::directory_iterator(Dir()))
    EXPECT_FALSE(entry.path().filename().string().starts_with("s.png")) << "half a picture";
}

// 48 blocks: a 1 kHz tone (0-7), a chirp from 200 Hz to 8 kHz (8-23), then silence with one
// sample's click in block 33; drawn 10 pixels to a block and 4 blocks to a column.
TEST_F(Analyse, SpectrogramShowsToneChirpClickAndSilence) {
  std::vector<short> samples(48 * 8192);
  double phase = 0;
  for (std::size_t i = 0; i < 24 * 8192; ++i) {
    phase += 2 * M_PI * (i < 8 * 8192 ? 1000 : 200 + 7800 * (i - 8 * 8192) / (16 * 8192.0)) / 22050;
    samples[i] = static_cast<short>(std::lround(16383.5 * std::sin(phase)));
  }
  samples[33 * 8192 + 4096] = 16384;
  Wav("s.wav", samples);
  std::ofstream(Dir() / "s.raw", std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()), std::ssize(samples) * 2);
  const auto& colours = InfernoColours();
  for (int width : {480, 12}) {
    const int height = 200;
    const std::string size = " --size " + std::to_string(width) + "x200 ";
    ASSERT_EQ(Tool("--threads 3 --spectrogram s.png" + size + "s.wav").exit_code, 0);
    const QRect plot = SpectrogramPlotRect(width, height);
    const QImage picture = QImage(QString::fromStdString((Dir() / "s.png").string())).copy(plot);
    // Each pixel's step on the colour scale, x across, row 0 at the bottom.
    auto step = [&](int x, int row) {
      const auto found = std::ranges::find(colours, picture.pixel(x, height - 1 - row));
      EXPECT_NE(found, colours.end()) << x << "," << row;
      return found - colours.begin();
    };
    auto x_of = [&](int block) { return (2 * block + 1) * width / 96; };
    auto brightest_row = [&](int block) {
      int best = 0;
      for (int row = 1; row < height; ++row)
        if (step(x_of(block), row) > step(x_of(block), best)) best = row;
      return best;
    };
    for (int block = 1; block <= 6; ++block)
      EXPECT_NEAR(brightest_row(block), 1000 / 11025.0 * height, 1) << width << ": tone " << block;
    const int chirp_step = width > 48 ? 1 : 4;
    for (int block = 8 + chirp_step; block < 24; block += chirp_step)
      EXPECT_GT(brightest_row(block), brightest_row(block - chirp_step)) << width << ": " << block;
    for (int row = 0; row < height; ++row) {
      EXPECT_GT(step(x_of(33), row), std::max(step(x_of(29), row), step(x_of(37), row)))
          << width << ": the click at row " << row;
      for (int block : {24, 28, 31, 36, 40, 47})
        EXPECT_EQ(step(x_of(block), row), 0) << width << ": silent block " << block;
    }
    // One thread, and columns merged in pairs as blocks come without a known length: the
    // same picture.
    ASSERT_EQ(Tool("--threads 1 --spectrogram raw.png" + size + "- < s.raw").exit_code, 0);
    EXPECT_EQ(QImage(QString::fromStdString((Dir() / "raw.png").string())).copy(plot), picture);
  }
}

// A 1 kHz tone (bin 371.5, halfway between two bins, where a block without a window spreads
// it widest) drawn the ways --freq-scale and --window allow.
TEST_F(Analyse, SpectrogramScaleAndWindowOnATone) {
  Wav("tone.wav", Tone(1000, 8 * 8192));
  const auto& colours = InfernoColours();
  const auto picture = [&](const std::string& options, int height) {
    const std::string name = "p" + std::to_string(std::hash<std::string>{}(options)) + ".png";
    EXPECT_EQ(Tool("--spectrogram " + name + " --size 16x" + std::to_string(height) + " " +
                   options + " tone.wav")
                  .exit_code,
              0)
        << options;
    return QImage(QString::fromStdString((Dir() / name).string()))
        .copy(SpectrogramPlotRect(16, height));
  };
  // A pixel's level, read back from its colour on a --db range of -140..80 (0.9 dB a step),
  // row 0 at the bottom.
  const auto level = [&](const QImage& plot, int row) {
    const auto step = std::ranges::find(colours, plot.pixel(8, plot.height() - 1 - row));
    EXPECT_NE(step, colours.end()) << row;
    return -140 + 220.0 * static_cast<double>(step - colours.begin()) / 255;
  };
  const auto brightest_row = [&](const QImage& plot) {
    int best = 0;
    for (int row = 1; row < plot.height(); ++row)
      if (level(plot, row) > level(plot, best)) best = row;
    return best;
  };

  // Log: the tone where octaves from 20 Hz up to 11025 Hz put it, and where 100 Hz up to
  // 2000 Hz do; linear as before, at 1000/11025 of the height.
  const struct {
    std::string options;
    double row;
  } scales[] = {
      {"--freq-scale log", std::log(1000 / 20.0) / std::log(11025 / 20.0) * 300},
      {"--freq-scale log --freq 100-2000", std::log(10.0) / std::log(20.0) * 300},
      {"--freq-scale linear", 1000 / 11025.0 * 300},
  };
  for (const auto& c : scales)
    EXPECT_NEAR(brightest_row(picture(c.options, 300)), c.row, 1) << c.options;

  // 900..1100 Hz, a row to each Hz. Bin 377 (1014.7 Hz, 5.5 bins above the tone) alone
  // fills row 114, bin 385 (1036.3 Hz, 13.5 bins above) row 136. A block without a window
  // leaks the tone's 66 dB there about 1/(pi * 5.5) and 1/(pi * 13.5) of the way (-25 and
  // -33 dB: some 41 and 33 dB); Hann's skirt falls 18 dB an octave from -31 dB (-54 and
  // -78 dB: some 12 and -12 dB). At the tone the window loses less between two bins (-1.4
  // against -3.9 dB).
  const std::string range = "--db -140-80 --freq 900-1100 ";
  const QImage none = picture(range + "--window none", 200);
  const QImage hann = picture(range + "--window hann", 200);
  for (const auto& [row, none_db, hann_db] : {std::tuple{114, 41.0, 12.0}, {136, 33.0, -12.0}}) {
    EXPECT_NEAR(level(none, row), none_db, 2) << row;
    EXPECT_NEAR(level(hann, row), hann_db, 2) << row;
  }
  const int tone_row = brightest_row(none);
  EXPECT_NEAR(tone_row, 100, 3);
  EXPECT_EQ(brightest_row(hann), tone_row);
  EXPECT_NEAR(level(hann, tone_row) - level(none, tone_row), 2.5, 1);
  // "none" and "linear" are what the picture was before the options: the same bytes.
  ASSERT_EQ(Tool("--spectrogram plain.png tone.wav").exit_code, 0);
  ASSERT_EQ(Tool("--spectrogram named.png --window none --freq-scale linear tone.wav").exit_code,
            0);
  EXPECT_EQ(Text(Dir() / "plain.png"), Text(Dir() / "named.png"));
  // The window changes the picture only: the rows are the same.
  EXPECT_EQ(Tool("--window hann --spectrogram h.png tone.wav").rows, Tool("tone.wav").rows);
}

std::vector<std::string> Lines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// Several inputs at once, on one thread and spread over three: each good one gets the rows the
// single-file form prints, under its own name even when two inputs share one; a bad one is
// listed, leaves no file behind and makes the exit status 1.
TEST_F(Analyse, OutWritesEveryGoodInputAndListsTheOthers) {
  fs::create_directories(Dir() / "other");
  Wav("tone.wav", Tone(500, 5 * 8192 + 7));
  Wav("other/tone.wav", Tone(900, 3 * 8192));
  std::ofstream(Dir() / "words.wav") << "not sound, only words\n";
  // With --spectrogram, a folder of pictures beside the rows, each the single-file form's.
  for (const std::string options : {"--threads 1", "--threads 3 --json --spectrogram pictures"}) {
    const std::string extension = options.find("--json") != std::string::npos ? ".json" : ".csv";
    const Outcome run = Tool(options + " --out results tone.wav words.wav other/tone.wav");
    EXPECT_EQ(run.exit_code, 1) << options;
    EXPECT_TRUE(run.rows.empty());
    EXPECT_NE(run.errors.find("quorvane-analyse: words.wav: "), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("quorvane-analyse: 2 of 3 files written to results, 1 failed"),
              std::string::npos)
        << run.errors;
    const std::string json = extension == ".json" ? "--json " : "";
    EXPECT_EQ(Lines(Dir() / "results" / ("tone" + extension)), Tool(json + "tone.wav").rows);
    EXPECT_EQ(Lines(Dir() / "results" / ("tone-2" + extension)),
              Tool(json + "other/tone.wav").rows);
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir() / "results"), {}), 2);
    fs::remove_all(Dir() / "results");
    if (!options.ends_with("pictures")) continue;
    ASSERT_EQ(Tool("--spectrogram one.png tone.wav").exit_code, 0);
    EXPECT_EQ(Text(Dir() / "pictures" / "tone.png"), Text(Dir() / "one.png"));
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir() / "pictures"), {}), 2);
  }
}

std::mt19937 random_source(7);

// The fine peak frequency of 16-bit blocks through the analyser's own FFT: tones of random
// phase, as (Hz, amplitude) pairs, in Gaussian noise.
std::optional<double> FineHz(const std::vector<std::pair<double, double>>& tones, double noise) {
  std::vector<double> re(8192, 0.0), im(8192, 0.0);
  for (auto [hz, amplitude] : tones) {
    const double phase = std::uniform_real_distribution<double>(0, 7)(random_source);
    for (int i = 0; i < 8192; ++i) re[i] += amplitude * std::cos(2 * M_PI * hz * i / 22050 + phase);
  }
  std::normal_distribution<double> gauss;
  for (double& v : re) v = std::nearbyint((v + noise * gauss(random_source)) * 32768) / 32768;
  FFT(8192, re, im);
  const auto bins = FineFrequencyBins(re, im);
  return bins ? std::optional<double>(*bins * kHzPerBin) : std::nullopt;
}

TEST(FineFrequency, CleanTonesNoisyTonesAndNoLine) {
  // Bin 1000 exactly catches a wrong bin width; +-0.3 bin catches swapped neighbours.
  for (double hz : {270.0, 440.0, 1000 * kHzPerBin, 500.3 * kHzPerBin, 699.7 * kHzPerBin,
                    123.5 * kHzPerBin, 1733.21, 2699.9})
    EXPECT_NEAR(FineHz({{hz, 0.5}}, 0).value_or(0), hz, 0.005);

  // 0 dB signal-to-noise per sample, against the Cramer-Rao bound for this length and rate.
  const double bound = 22050 / (2 * M_PI) * std::sqrt(12 / std::pow(8192.0, 3));
  double squares = 0;
  for (int block = 0; block < 300; ++block) {
    const double hz = std::uniform_real_distribution<double>(270, 2700)(random_source);
    squares += std::pow(FineHz({{hz, 0.25}}, 0.25 / std::sqrt(2.0)).value_or(0) - hz, 2);
  }
  EXPECT_LE(std::sqrt(squares / 300), 1.5 * bound);

  EXPECT_FALSE(FineHz({{400 * kHzPerBin, 0.25}, {403 * kHzPerBin, 0.04}}, 0)) << "two tones";
  EXPECT_FALSE(FineHz({}, 0)) << "silence";
  EXPECT_FALSE(FineHz({}, 0.2)) << "white noise";
}

// A line at bin 400 with its neighbours silent, as a steady tone exactly on a bin has them,
// over bins of magnitude `median` (random phases), `loud` of them (bins 1000 up) at half the
// line: the line is clear 20 dB above the median of bins 0..4096, however loud the rest.
TEST(FineFrequency, ClearLineRuleAtItsEdge) {
  const struct {
    double median, decibels;  // above the median, both with the level floor 1e-7 added
    int loud;
    bool clear;
  } cases[] = {{1e-3, 18, 0, false},   {1e-3, 22, 0, true},    {0, 18, 0, false},
               {0, 22, 0, true},       {1e-3, 22, 2040, true}, {1e-3, 22, 2060, false},
               {0.05, 19.9, 0, false}, {0.05, 20.1, 0, true}};
  for (const auto& c : cases) {
    std::vector<double> re(8192), im(8192);
    const double line = (c.median + 1e-7) * std::pow(10, c.decibels / 20) - 1e-7;
    for (int bin = 0; bin <= 4096; ++bin) {
      const double size = bin == 400                           ? line
                          : std::abs(bin - 400) <= 4           ? 0
                          : bin >= 1000 && bin < 1000 + c.loud ? line / 2
                                                               : c.median;
      const double phase = std::uniform_real_distribution<double>(0, 7)(random_source);
      re[bin] = size * std::cos(phase);
      im[bin] = size * std::sin(phase);
    }
    const auto bins = FineFrequencyBins(re, im);
    EXPECT_EQ(bins.has_value(), c.clear) << c.median << " " << c.decibels << " dB " << c.loud;
    EXPECT_NEAR(bins.value_or(400), 400, 1e-9);
  }
}

// The needle takes a cell per 10 cents and covers the middle bar within 5 cents.
TEST(TunerLine, NoteCentsNeedleFrequencyAndSignal) {
  const struct {
    std::optional<double> hz;
    Charset charset;
    std::string line;
  } cases[] = {
      {440 * std::pow(2, 23.0 / 1200), Charset::kUtf8,
       "A4   +23.0 cents  |·····|·▮···|    445.885 Hz  sig -42 dB"},
      {27.5 * std::pow(2, 1250.1 / 1200), Charset::kAscii,
       "A#1  -49.9 cents  |#....|.....|     56.615 Hz  sig -42 dB"},
      {std::nullopt, Charset::kUtf8, "no clear line                                  sig -42 dB"},
  };
  for (const auto& c : cases) {
    BlockReadouts readouts;
    readouts.sig_max_text = "-42 dB anl";
    readouts.peak_hz_fine = c.hz;
    EXPECT_EQ(TunerLine(readouts, c.charset), c.line);
  }
}

TEST_F(Analyse, SoundInputAveragesChannelsRoundsAndClips) {
  const auto path = Dir() / "float.wav";
  // Float samples of two channels: averaged, rounded and clipped to 16 bits.
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
}

// A file in the capture's own format is read straight into the caller's samples, in pieces of
// any size; raw input drops a last odd byte, half a sample.
TEST_F(Analyse, SoundInputDeliversEverySampleOnceInPiecesOfAnySize) {
  const std::vector<short> tone = Tone(440, 2 * 8192 + 5);
  const std::string wav = (Dir() / Wav("capture.wav", tone)).string();
  for (const std::size_t piece : {std::size_t{1}, std::size_t{8193}, std::size_t{1} << 20}) {
    std::vector<std::int16_t> samples;
    const auto input = SoundInput::OpenFile(wav);
    while (input->Read(samples, piece) > 0) {
    }
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), tone.begin(), tone.end())) << piece;
  }
  char bytes[] = "\x01\x02\x03";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> raw(fmemopen(bytes, 3, "rb"), std::fclose);
  std::vector<std::int16_t> samples;
  EXPECT_EQ(SoundInput::OpenRaw(raw.get(), "raw")->Read(samples, 4), 1u);
  EXPECT_EQ(samples, std::vector<std::int16_t>{0x0201});
}

// Without pictures the trace is only checked, all points at once; whatever drawing it raises,
// checking must raise too.
TEST(HeadlessTrace, RaisesWhatDrawingRaises) {
  const auto state = test::StartedState();
  BinArray &x = state->dblTraceX, &y = state->dblTraceY;
  const auto map = [&] { CalcTrace(state->BinCount(), state->Axis(), state->dblLevel, x, y); };
  const std::function<void()> traces[] = {
      map,
      [&] { x.Fill(100); },  // no marker: the lines run off the arrays
      [&] { map(), x[0] = kTraceEndMarker, x[1] = kTraceEndMarker; },  // no line at all
      [&] { map(), y[500] = std::nan(""); },
      [&] { map(), x[902] = 1e30; },  // beyond the pixel range
      [&] { map(), y[0] = -1e39; },   // beyond a Single
  };
  for (const auto& trace : traces) {
    trace();
    std::optional<RuntimeError::Kind> raised[2];
    for (bool discard : {false, true}) {
      PlotSurface picture(321, 297);
      picture.SetDiscardPixels(discard);
      DrawGridLines(picture, kBackColor, kGridColor);
      raised[discard] = test::Raised([&] { DrawTraceLines(picture, x, y, kTraceColor); });
    }
    EXPECT_EQ(raised[true], raised[false]) << &trace - traces;
  }
}

// A line that starts where the last one ended takes that end's pixels instead of converting
// it again; after a new scale it must not. Each sequence drawn as a trace gives the picture of
// its lines each drawn alone on a surface of its own.
TEST(PlotSurface, ALineFromTheLastEndDrawsAsOnItsOwn) {
  struct Step {
    float x, y;               // the next end; the line runs from the last one
    float scale_left = -100;  // the scale the line is drawn at
    float scale_width = 1200;
  };
  const std::vector<std::vector<Step>> sequences = {
      {{0, 0}, {300, 700}, {301, 690}, {1100, -100}, {-150, 1300}},  // in, on and over the edges
      {{500, 500}, {600, 400}, {700, 300, -90}},                     // the scale moves mid-trace
      {{500, 500}, {600, 400}, {700, 300, -100, 1000}},              // the scale stretches
      {{-0.0f, 200}, {0, 800}, {-0.0f, 900}},                        // -0 and 0 meet
  };
  const auto draw = [](PlotSurface& picture, const Step& from, const Step& to) {
    // Set only when it changes, as a program would.
    if (picture.ScaleTop() != -100) picture.SetScaleTop(-100);
    if (picture.ScaleHeight() != 1200) picture.SetScaleHeight(1200);
    if (picture.ScaleLeft() != to.scale_left) picture.SetScaleLeft(to.scale_left);
    if (picture.ScaleWidth() != to.scale_width) picture.SetScaleWidth(to.scale_width);
    picture.Line(from.x, from.y, to.x, to.y, kTraceColor);
  };
  for (const auto& steps : sequences) {
    PlotSurface trace(321, 297);
    QImage alone_lines = trace.Image();
    for (std::size_t i = 1; i < steps.size(); ++i) {
      draw(trace, steps[i - 1], steps[i]);
      PlotSurface alone(321, 297);
      draw(alone, steps[i - 1], steps[i]);
      for (int r = 0; r < 297; ++r) {
        for (int c = 0; c < 321; ++c) {
          const QRgb pixel = alone.Image().pixel(c, r);
          if (pixel != ToRgb(0)) alone_lines.setPixel(c, r, pixel);
        }
      }
    }
    EXPECT_EQ(trace.Image(), alone_lines) << &steps - sequences.data();
  }
}

constexpr int kCycles = 163;  // per block: 438.739 Hz, A4 -5.0 cents

// --live on the private PulseAudio and PipeWire servers that CTest's fixtures started for these
// tests to share.
struct Live : InFolder<::testing::TestWithParam<const char*>> {
  void SetUp() override {
    QUORVANE_REQUIRE(server.Missing("script"));
    InFolder::SetUp();
    server.UseFromThisProcess();
    // Until the tone is heard: a player starts slowly on a busy machine.
    testing::WaitFor(
        [&] {
          return Tool("--live --blocks 1").exit_code == 0 &&
                 Text(Dir() / "out").ends_with("A4,-5.0\n");
        },
        20s);
  }
  void TearDown() override {
    EXPECT_TRUE(
        testing::WaitFor([&] { return server.Tool("recording 'Quorvane Spectrum'").empty(); }, 5s))
        << "a stream left on the server";
    InFolder::TearDown();
  }
  testing::SoundServer server{GetParam(), false, true};
  testing::Player player{server, kCycles, 0.5, 40};
};

// A block that the player's underrun (on a busy machine) broke has no clear line; the rest
// are read.
TEST_P(Live, AToneRowByRowEachWithinAHundredthOfAHertz) {
  const Outcome run = Tool("--live --blocks 5");
  ASSERT_TRUE(run.exit_code == 0 && run.rows.size() == 6 && run.errors.empty()) << run.errors;
  double start = -1;
  int read = 0;
  for (int block = 0; block < 5; ++block) {
    std::smatch row;
    ASSERT_TRUE(std::regex_match(
        run.rows[block + 1], row,
        std::regex(std::to_string(block) + ",([0-9.]+),438(,-?[0-9]+){3},(([0-9.]+),A4,-5.0|,,)")))
        << run.rows[block + 1];
    const double hz = kCycles * 22050.0 / 8192;
    EXPECT_NEAR(row[4].matched ? std::stod(row[4]) : hz, hz, 0.01);
    read += row[4].matched;
    // The first block starts the clock; each is 0.37 s of sound and a restart after the last.
    EXPECT_TRUE(block == 0 ? row[1] == "0.000000" : std::stod(row[1]) - start > 0.3);
    start = std::stod(row[1]);
  }
  EXPECT_GE(read, 4);
}

// The second field of a row: when its block started, in seconds.
double StartOf(const std::string& row) {
  return std::stod(row.substr(row.find(',') + 1));
}

// A row a block after the first two, from the default input and from the monitor that
// PULSE_SOURCE names, on servers where nothing else asks for a latency: a source nobody asks
// hands on its sound about 2 s at a time. The notes are named against the A4 asked for.
TEST_P(Live, ARowEveryBlockFromEitherInput) {
  const struct {
    std::string input, options, note;
  } cases[] = {{"", "", ",A4,-5.0"}, {"PULSE_SOURCE=test_sink.monitor ", " --a4 442", ",A4,-12.8"}};
  for (const auto& [input, options, note] : cases) {
    const Outcome run = Shell(input + QUORVANE_ANALYSE " --live --blocks 8" + options);
    ASSERT_TRUE(run.exit_code == 0 && run.rows.size() == 9) << input << run.errors;
    std::vector<double> apart;
    for (int block = 3; block <= 8; ++block) {
      const std::string& row = run.rows[block];
      EXPECT_TRUE(row.find(",438,") != std::string::npos &&
                  (row.ends_with(note) || row.ends_with(",,")))
          << row;
      apart.push_back(StartOf(run.rows[block]) - StartOf(run.rows[block - 1]));
    }
    std::ranges::sort(apart);
    EXPECT_LE(apart[apart.size() / 2], 0.45) << input << "median";
    EXPECT_LE(apart.back(), 0.8) << input << "longest";
  }
}

// Ctrl-C or SIGTERM a few blocks in: the rows so far, each whole, and status 0.
TEST_P(Live, StopSignalsEndAfterTheBlockInHandWithEveryRowWhole) {
  for (const char* signal : {"INT", "TERM"}) {
    const Outcome run =
        Tool("--live --json & sleep 3; kill -" + std::string(signal) + " $!; wait $!");
    EXPECT_TRUE(run.exit_code == 0 && run.rows.size() >= 2 && Text(Dir() / "out").ends_with("}\n"))
        << signal << run.errors;
    for (std::size_t block = 0; block < run.rows.size(); ++block)
      EXPECT_TRUE(
          std::regex_match(run.rows[block], std::regex("\\{\"block\":" + std::to_string(block) +
                                                       ",.*\"noise_text\":\"-?[0-9]+\"\\}")))
          << run.rows[block];
  }
}

// A pseudo-terminal as standard output: one line rewritten per block, the cursor back at the end;
// the notes against the A4 asked for.
TEST_P(Live, TheTunerLineOnATerminalInItsCharset) {
  const struct {
    const char *locale, *options, *tuned;
  } cases[] = {
      {"C.UTF-8", "", "A4    -5\\.0 cents  \\|·····▮·····\\|"},
      {"C", "", "A4    -5\\.0 cents  \\|\\.\\.\\.\\.\\.#\\.\\.\\.\\.\\.\\|"},
      {"C", " --a4 442", "A4   -12\\.8 cents  \\|\\.\\.\\.\\.#\\|\\.\\.\\.\\.\\.\\|"},
  };
  for (const auto& [locale, options, tuned] : cases) {
    const Outcome run =
        Shell("LC_ALL="s + locale + " script -qefc '" QUORVANE_ANALYSE " --live --blocks 3" +
              options + "' /dev/null </dev/null");
    ASSERT_EQ(run.exit_code, 0) << run.errors;
    const std::string out = Text(Dir() / "out");
    EXPECT_TRUE(std::regex_search(
        out, std::regex("\r"s + tuned + "    438\\.7[34][0-9] Hz  sig -?[0-9]+ dB")))
        << out;
    EXPECT_TRUE(out.ends_with("\n\033[?25h\033[?7h") && std::ranges::count(out, '\n') == 1) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, Live, ::testing::Values("pulseaudio", "pipewire"),
                         [](const auto& info) { return std::string(info.param); });

// --live on a server of the test's own, for what the shared ones must not see.
struct LiveAlone : InFolder<::testing::TestWithParam<const char*>> {
  void SetUp() override {
    QUORVANE_REQUIRE(testing::SoundServer(GetParam(), false).Missing());
    InFolder::SetUp();
    server.emplace(GetParam());
    server->UseFromThisProcess();
  }
  std::optional<testing::SoundServer> server;
};

// The input PULSE_SOURCE names is recorded, though another is the desktop's default and sounds
// too: 1001 Hz on a second sink's monitor, the 438.7 Hz tone on the default input.
TEST_P(LiveAlone, TheInputNamedThoughNotTheDefault) {
  server->Tool("pactl load-module module-null-sink sink_name=other rate=22050 channels=1");
  const testing::Player tone(*server, kCycles, 0.5, 40);
  const testing::Player other(*server, 372, 0.5, 40, "other");
  const Outcome run = Shell("PULSE_SOURCE=other.monitor " QUORVANE_ANALYSE " --live --blocks 4");
  ASSERT_TRUE(run.exit_code == 0 && run.rows.size() == 5) << run.errors;
  for (int block = 2; block <= 4; ++block)
    EXPECT_TRUE(run.rows[block].find(",1001,") != std::string::npos) << run.rows[block];
}

// A source that hands on its sound 2 s at a time (as network sources do, whatever latency is
// asked for) is slow, not silent: its blocks come with no fault, no reconnection and no box.
TEST_P(LiveAlone, ASourceSendingSecondsAtATimeIsSlowNotSilent) {
  if (GetParam() == std::string("pipewire"))
    GTEST_SKIP() << "PipeWire's pipe source plays silence between the bursts";
  const std::string tone = Dir() / "tone.raw";
  const std::vector<short> samples = Tone(438.739, 3 * 22050);
  std::ofstream(tone, std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()),
             static_cast<std::streamsize>(samples.size() * sizeof(short)));
  const int writer = std::atoi(server->Tool("slow-input " + tone + " 2").c_str());
  const Outcome run = Shell("QUORVANE_DEBUG=capture " QUORVANE_ANALYSE " --live --blocks 8");
  kill(-writer, SIGTERM);
  ASSERT_TRUE(run.exit_code == 0 && run.rows.size() == 9) << run.errors;
  // What the pipe held when the stream came may fill the first blocks at once; then the blocks
  // wait for the bursts, longer than a steady source may stay silent.
  double longest_wait = 0;
  for (int block = 2; block <= 8; ++block)
    longest_wait = std::max(longest_wait, StartOf(run.rows[block]) - StartOf(run.rows[block - 1]));
  EXPECT_GT(longest_wait, 1.2) << "no wait for a burst";
  EXPECT_EQ(run.errors.find("lost:"), std::string::npos) << run.errors;
  int connections = 0;
  for (std::size_t at = 0; (at = run.errors.find("off -> connecting", at)) != std::string::npos;
       ++at)
    ++connections;
  EXPECT_EQ(connections, 1) << run.errors;
}

INSTANTIATE_TEST_SUITE_P(OwnServer, LiveAlone, ::testing::Values("pulseaudio", "pipewire"),
                         [](const auto& info) { return std::string(info.param); });

// No server: status 1 and the reason once the wait is over, not later.
TEST_F(Analyse, LiveWithoutServerGivesUpAfterTheWait) {
  const auto timed = [](const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    Outcome run = Shell(command);
    return std::pair{run, std::chrono::steady_clock::now() - start};
  };
  // What starting and ending the program takes here (much more under a sanitizer) is no wait.
  const auto overhead = timed(QUORVANE_ANALYSE " --version").second;
  const auto [run, took] =
      timed("PULSE_SERVER=unix:/nonexistent " QUORVANE_ANALYSE " --live --wait 1");
  EXPECT_TRUE(took > 1s && took < 1s + 4 * overhead + 300ms)
      << (took / 1ms) << " ms; the program alone " << (overhead / 1ms) << " ms";
  EXPECT_TRUE(run.exit_code == 1 && run.rows.size() == 1) << run.exit_code;
  EXPECT_EQ(run.errors,
            "quorvane-analyse: no sound input within 1.0 s: There is no sound input device "
            "with that number. Sound server: Connection refused.\n");
}

// Under a running --live the server restarts: one line says why, one when sound is back, and
// the rows go on. A source that answers but sends nothing is named once the wait is over.
TEST_F(Analyse, LiveSaysWhyTheInputWentAndWhenItCameBack) {
  QUORVANE_REQUIRE(testing::SoundServer("pulseaudio", false).Missing());
  testing::SoundServer server("pulseaudio");
  server.UseFromThisProcess();
  std::thread restart([&] {
    std::this_thread::sleep_for(3s);
    server.Tool("restart");
  });
  Outcome run = Tool("--live --seconds 8");
  restart.join();
  EXPECT_TRUE(run.exit_code == 0 && run.rows.size() > 12) << run.rows.size();
  EXPECT_TRUE(std::regex_match(
      run.errors, std::regex("quorvane-analyse: [^\n]*Lost the connection to the sound "
                             "server[^\n]*\nquorvane-analyse: sound input is back "
                             "after [0-9]+\\.[0-9] s\n")))
      << run.errors;

  server.Tool("silent-input");
  run = Tool("--live --wait 8");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_TRUE(std::regex_match(run.errors,
                               std::regex("quorvane-analyse: no sound input within 8.0 s: [^\n]*No "
                                          "sound arrived from the sound server for [1-4]\\.[0-9] "
                                          "seconds\\.\n")))
      << run.errors;
}

}  // namespace
}  // namespace quorvane
