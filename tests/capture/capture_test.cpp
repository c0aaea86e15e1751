// The capture routines over samples in memory, and recording from real servers, PulseAudio and
// PipeWire, that CTest's fixtures started for these tests to share.

#include <gtest/gtest.h>

#include <complex>
#include <numbers>
#include <sstream>
#include <thread>

#include "capture/module1.h"
#include "capture/wave_drivers.h"
#include "common/runtime_error.h"
#include "sound_server.h"

namespace quorvane {
namespace {

using namespace std::literals;

// A recorder for shown texts, the window's sample rate, a block size, and a check that no
// memory block outlives the test.
struct Capture : ::testing::Test {
  Capture() {
    SetMessageBox([this](const std::string& text) { shown.push_back(text); });
    state.strSampleRate = "22050";
    state.lngBufferBytes = 16;  // 8 samples
  }
  ~Capture() override {
    if (state.blnRecording) StopCapture(state);
    SetMessageBox(nullptr);
    UsePulseWaveInput();
    EXPECT_EQ(LiveGlobalBlocks(), blocks_before);
  }
  // Polls the done bit as the window's timer does, for at most 5 s.
  bool WaitDone() {
    for (int ms = 0; ms < 5000 && !CaptureBufferDone(state); ++ms) std::this_thread::sleep_for(1ms);
    return CaptureBufferDone(state);
  }
  std::vector<double> Block() const {
    std::vector<double> values(static_cast<std::size_t>(state.lngBufferBytes / 2));
    for (Long i = 0; i < static_cast<Long>(values.size()); ++i) GetSample(state, i, values[i]);
    return values;
  }
  CaptureState state;
  std::vector<std::string> shown;
  std::size_t blocks_before = LiveGlobalBlocks();
};

TEST_F(Capture, SamplesAreFractionsOfFullScaleAndOnlyInsideTheBuffer) {
  UseMemoryWaveInput({-32768, 32767, 0, 1, -1, 16384, -16384, 2});
  StartCapture(state);
  ASSERT_TRUE(CaptureBufferDone(state));
  EXPECT_EQ(Block(), (std::vector<double>{-1.0, 32767 / 32768.0, 0, 1 / 32768.0, -1 / 32768.0, 0.5,
                                          -0.5, 2 / 32768.0}));
  using enum RuntimeError::Kind;
  const std::pair<Long, RuntimeError::Kind> outside[] = {{-1, SubscriptOutOfRange},
                                                         {8, SubscriptOutOfRange},
                                                         {0x40000000, Overflow},
                                                         {-0x40000001, Overflow},
                                                         {0x7FFFFFFF, Overflow}};
  for (const auto& [index, error] : outside) {
    double out = 7;
    try {
      GetSample(state, index, out);
      ADD_FAILURE() << "sample " << index << " was read";
    } catch (const RuntimeError& raised) {
      EXPECT_EQ(raised.kind(), error) << index;
    }
    EXPECT_EQ(out, 7);
  }
}

TEST_F(Capture, StartWhileRecordingOpensNothing) {
  UseMemoryWaveInput(std::vector<std::int16_t>(64, 1));
  StartCapture(state);
  const HWAVEIN device = state.hWaveIn;
  const std::size_t blocks = LiveGlobalBlocks();
  StartCapture(state);
  EXPECT_EQ(state.hWaveIn, device);
  EXPECT_EQ(LiveGlobalBlocks(), blocks);
  EXPECT_EQ(MemoryWaveInputPosition(), 8u);  // no second buffer was filled
}

// A buffer that cannot be queued fails the start as a whole: everything is released and the
// failure is shown once, however often it is tried again, until a start succeeds.
TEST_F(Capture, AFailedStartReleasesAllAndIsShownOncePerRunOfFailures) {
  UseMemoryWaveInput(std::vector<std::int16_t>(64, 1));
  state.lngBufferBytes = 0;  // refused when queued
  for (int attempt = 0; attempt < 3; ++attempt) {
    StartCapture(state);
    EXPECT_FALSE(state.blnRecording);
    EXPECT_EQ(state.lngWaveResult, static_cast<Long>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(LiveGlobalBlocks(), blocks_before);
  }
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(state.strWaveError.substr(0, shown[0].size()), shown[0]);
  state.lngBufferBytes = 16;
  StartCapture(state);
  ASSERT_TRUE(state.blnRecording);
  StopCapture(state);
  state.lngBufferBytes = 0;
  StartCapture(state);
  EXPECT_EQ(shown.size(), 2u);
}

struct OnServer : Capture, ::testing::WithParamInterface<const char*> {
  void SetUp() override {
    QUORVANE_REQUIRE(testing::ServerPrograms(GetParam()));
    ASSERT_TRUE(server.Started()) << "no shared server; run through ctest";
    server.UseFromThisProcess();
    UsePulseWaveInput();
    state.lngBufferBytes = 16384;
  }
  std::string Pactl(const std::string& arguments) const { return server.Tool("pactl", arguments); }
  long Lines(const std::string& list) const {
    const std::string lines = Pactl("list short " + list);
    return std::count(lines.begin(), lines.end(), '\n');
  }
  // Our stream's number and the name of the source it records from.
  std::pair<std::string, std::string> Recording() const {
    std::istringstream words(server.Tool("recording", "'Quorvane Spectrum'"));
    std::pair<std::string, std::string> found;
    words >> found.first >> found.second;
    return found;
  }
  testing::SoundServer server{GetParam(), false, true};
};

double Magnitude(const std::vector<double>& block, int bin) {
  std::complex<double> sum;
  for (std::size_t n = 0; n < block.size(); ++n) {
    sum += block[n] * std::polar(1.0, -2 * std::numbers::pi * bin * static_cast<double>(n) / 8192);
  }
  return std::abs(sum);
}

TEST_P(OnServer, AToneKeepsItsLevelAndFrequency) {
  constexpr int kBin = 372;  // 1001.3 Hz
  testing::Player player(server, testing::Tone(kBin, 0.5, 40));
  // Until the player's stream joins the clock's on the sink.
  for (int i = 0; i < 100 && Lines("sink-inputs") < 2; ++i) std::this_thread::sleep_for(50ms);
  // Whole cycles per block: one bin holds it all, |X| = A N / 2, resampled on the way or not.
  // On a loaded machine the server may drop a moment of sound; one of three blocks is whole.
  std::vector<double> block;
  for (int tries = 0; tries < 3 && Magnitude(block, kBin) < 0.95 * 0.5 * 8192 / 2; ++tries) {
    StopCapture(state);
    StartCapture(state);
    ASSERT_TRUE(WaitDone());
    block = Block();
  }
  const double peak = Magnitude(block, kBin);
  EXPECT_NEAR(peak, 0.5 * 8192 / 2, 0.05 * 0.5 * 8192 / 2);
  for (int bin : {kBin - 3, kBin + 3, kBin / 2, 2 * kBin}) {
    EXPECT_LT(Magnitude(block, bin), peak / 100) << "bin " << bin;
  }
  EXPECT_TRUE(shown.empty());
}

TEST_P(OnServer, ManyBlocksLeaveNoClientBehind) {
  const auto clients = [&] { return std::atoi(server.Tool("clients").c_str()); };
  const int clients_before = clients();
  state.lngBufferBytes = 441;  // 10 ms
  for (int block = 0; block < 150; ++block) {
    StartCapture(state);
    ASSERT_TRUE(state.blnRecording && (block % 3 != 0 || WaitDone())) << block;  // or cut short
    StopCapture(state);
    EXPECT_TRUE(block % 50 != 25 || clients() <= clients_before + 1) << "one connection, reused";
  }
  UsePulseWaveInput();  // lets go of the kept connection
  for (int i = 0; i < 100 && clients() != clients_before; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(clients(), clients_before);
  EXPECT_TRUE(shown.empty());
}

// Device 0 is the source PULSE_SOURCE names, else the default source unless it is a monitor,
// else the lowest-numbered source that is not a monitor; a stream moved elsewhere stays there.
TEST_P(OnServer, RecordsTheInputTheDesktopChose) {
  if (Pactl("list short sources").find("second_input") == std::string::npos) {
    Pactl(
        "load-module module-remap-source source_name=second_input master=test_sink.monitor "
        "channels=1 rate=22050 channel_map=mono master_channel_map=mono");
  }
  const struct {
    const char *pulse_source, *default_source;
    bool moved;
    const char* recorded;
  } cases[] = {{"", "test_input", false, "test_input"},
               {"second_input", "test_input", false, "second_input"},
               {"", "second_input", false, "second_input"},
               {"", "test_sink.monitor", false, "test_input"},
               {"test_sink.monitor", "test_input", false, "test_sink.monitor"},
               {"", "test_input", true, "second_input"}};
  state.lngBufferBytes = 4410;  // 0.1 s
  for (const auto& choice : cases) {
    setenv("PULSE_SOURCE", choice.pulse_source, 1);
    if (*choice.pulse_source == '\0') unsetenv("PULSE_SOURCE");
    Pactl(std::string("set-default-source ") + choice.default_source);
    for (int i = 0; i < 100 && Pactl("get-default-source") != choice.default_source + "\n"s; ++i) {
      std::this_thread::sleep_for(50ms);  // PipeWire's session manager takes it up in a moment
    }
    UsePulseWaveInput();
    for (int block = 0; block < 3; ++block) {
      StartCapture(state);
      // PipeWire lists a new stream a moment after it connects.
      for (int i = 0; i < 100 && block == 0 && choice.moved && Recording().second != "second_input";
           ++i, std::this_thread::sleep_for(50ms)) {
        Pactl("move-source-output " + Recording().first + " second_input");
      }
      ASSERT_TRUE(WaitDone());
      EXPECT_EQ(Recording().second, choice.recorded)
          << "PULSE_SOURCE=" << choice.pulse_source << ", default " << choice.default_source;
      StopCapture(state);
    }
  }
  unsetenv("PULSE_SOURCE");
  Pactl("set-default-source test_input");
  EXPECT_TRUE(shown.empty()) << shown.front();
}

INSTANTIATE_TEST_SUITE_P(Servers, OnServer, ::testing::Values("pulseaudio", "pipewire"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace quorvane
