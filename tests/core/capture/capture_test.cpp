// The capture routines over samples in memory, and recording from real servers, PulseAudio and
// PipeWire, that CTest's fixtures started for these tests to share.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <complex>
#include <numbers>

#include "capture/module1.h"
#include "capture/wave_drivers.h"
#include "common/runtime_error.h"
#include "sound_server.h"
#include "tests/raises.h"

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
  // StartCapture as the window's cycle does it: while the sound server is being reached, waits
  // for the capture's signal and starts again. True when recording.
  bool Start() {
    StartCapture(state);
    for (int tries = 0; tries < 10 && state.lngWaveResult == Long{WAVERR_PREPARING}; ++tries) {
      pollfd signal{CaptureSignalDescriptor(), POLLIN, 0};
      poll(&signal, 1, 3000);
      TakeCaptureSignal();
      StartCapture(state);
    }
    return state.blnRecording;
  }
  // Polls the done bit, for at most 5 s.
  bool WaitDone() {
    return testing::WaitFor([this] { return CaptureBufferDone(state); }, 5s);
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
    EXPECT_EQ(test::Raised([&, i = index] { GetSample(state, i, out); }), error) << index;
    EXPECT_EQ(out, 7);
  }
}

// A buffer that cannot be queued fails the start as a whole: everything is released and the
// failure is shown once, however often it is tried again, until a start succeeds. A start while
// recording opens nothing.
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
  const HWAVEIN device = state.hWaveIn;
  const std::size_t blocks = LiveGlobalBlocks(), position = MemoryWaveInputPosition();
  StartCapture(state);
  EXPECT_EQ(state.hWaveIn, device);
  EXPECT_EQ(LiveGlobalBlocks(), blocks);
  EXPECT_EQ(MemoryWaveInputPosition(), position);  // no second buffer was filled
  StopCapture(state);
  state.lngBufferBytes = 0;
  StartCapture(state);
  EXPECT_EQ(shown.size(), 2u);
}

struct OnServer : Capture, ::testing::WithParamInterface<const char*> {
  void SetUp() override {
    QUORVANE_REQUIRE(server.Missing());
    ASSERT_FALSE(server.Tool("pid").empty()) << "no shared server; run through ctest";
    server.UseFromThisProcess();
    UsePulseWaveInput();
    state.lngBufferBytes = 16384;
  }
  std::string Pactl(const std::string& args) const { return server.Tool("pactl " + args); }
  // "NUMBER SOURCE\n": our stream's number and the name of the source it records from.
  std::string Recording() const { return server.Tool("recording 'Quorvane Spectrum'"); }
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
  testing::Player player(server, kBin, 0.5, 40);
  // Until the player's stream joins the clock's on the sink.
  testing::WaitFor([&] { return std::ranges::count(Pactl("list short sink-inputs"), '\n') > 1; },
                   5s);
  // Whole cycles per block: one bin holds it all, |X| = A N / 2, resampled on the way or not.
  // On a loaded machine the server may drop a moment of sound, which lowers the peak and
  // spreads it; one of three blocks is whole.
  std::vector<double> block;
  for (int tries = 0; tries < 3 && !(Magnitude(block, kBin) > 0.95 * 0.5 * 8192 / 2 &&
                                     Magnitude(block, kBin + 3) < Magnitude(block, kBin) / 100);
       ++tries) {
    StopCapture(state);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitDone());
    block = Block();
  }
  const double peak = Magnitude(block, kBin);
  EXPECT_NEAR(peak, 0.5 * 8192 / 2, 0.05 * 0.5 * 8192 / 2);
  for (int bin : {kBin - 3, kBin + 3, kBin / 2, 2 * kBin}) {
    EXPECT_LT(Magnitude(block, bin), peak / 100) << "bin " << bin;
  }
  // Blocks keep up with the sound: eight, 3.0 s of it, come within 4.5 s, not at a fraction
  // of its rate with the stream ever further behind.
  const auto begun = std::chrono::steady_clock::now();
  StopCapture(state);
  for (int i = 0; i < 8; ++i, StopCapture(state)) ASSERT_TRUE(Start() && WaitDone()) << i;
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 4500ms);
  EXPECT_TRUE(shown.empty());
}

TEST_P(OnServer, ManyBlocksLeaveNoClientBehind) {
  const int clients_before = server.Clients();
  state.lngBufferBytes = 441;  // 10 ms
  for (int block = 0; block < 150; ++block) {
    ASSERT_TRUE(Start() && (block % 3 != 0 || WaitDone())) << block;  // or cut short
    StopCapture(state);
    EXPECT_TRUE(block % 50 != 25 || server.Clients() <= clients_before + 1)
        << "one connection, reused";
  }
  UsePulseWaveInput();  // lets go of the kept connection
  EXPECT_TRUE(testing::WaitFor([&] { return server.Clients() == clients_before; }, 5s))
      << server.Clients();
  EXPECT_TRUE(shown.empty());
}

// Device 0 is the source PULSE_SOURCE names, else the default source unless it is a monitor,
// else the lowest-numbered source that is not a monitor. A running stream follows the desktop
// when it chooses another default, unless PULSE_SOURCE named one or it was moved by hand.
TEST_P(OnServer, RecordsTheInputTheDesktopChose) {
  if (Pactl("list short sources").find("second_input") == std::string::npos) {
    Pactl(
        "load-module module-remap-source source_name=second_input master=test_sink.monitor "
        "channels=1 rate=22050 channel_map=mono master_channel_map=mono");
  }
  enum Then { kNothing, kMovedByHand, kDefaultChanged };
  // PULSE_SOURCE, the default source, what then happens to the running stream, the source
  // recorded in the end.
  const std::tuple<std::string, std::string, Then, std::string> cases[] = {
      {"", "test_input", kNothing, "test_input"},
      {"second_input", "test_input", kNothing, "second_input"},
      {"", "second_input", kNothing, "second_input"},
      {"", "test_sink.monitor", kNothing, "test_input"},
      {"test_sink.monitor", "test_input", kNothing, "test_sink.monitor"},
      {"", "test_input", kDefaultChanged, "second_input"},
      {"test_input", "test_input", kDefaultChanged, "test_input"},
      {"", "test_input", kMovedByHand, "second_input"}};
  state.lngBufferBytes = 4410;  // 0.1 s
  const auto set_default = [&](const std::string& source) {
    Pactl("set-default-source " + source);
    // PipeWire's session manager takes it up in a moment.
    testing::WaitFor([&] { return Pactl("get-default-source") == source + "\n"; }, 5s);
  };
  const auto move_to = [&](const std::string& source) {
    const std::string found = Recording();
    Pactl("move-source-output " + found.substr(0, found.find(' ')) + " " + source);
  };
  for (const auto& [pulse_source, default_source, then, recorded] : cases) {
    setenv("PULSE_SOURCE", pulse_source.c_str(), 1);
    if (pulse_source.empty()) unsetenv("PULSE_SOURCE");
    set_default(default_source);
    UsePulseWaveInput();  // reads PULSE_SOURCE
    ASSERT_TRUE(Start());
    if (then == kMovedByHand) {
      // PipeWire lists a new stream a moment after it connects.
      for (int i = 0; i < 100 && !Recording().ends_with(" second_input\n"); ++i) {
        move_to("second_input");
        std::this_thread::sleep_for(50ms);
      }
    } else if (then == kDefaultChanged) {
      set_default("second_input");
    }
    // The same stream goes on from block to block, where the desktop or the user put it.
    for (int block = 0; block < 4; ++block) {
      ASSERT_TRUE(WaitDone());
      StopCapture(state);
      ASSERT_TRUE(Start());
    }
    EXPECT_TRUE(testing::WaitFor(
        [&, recorded = recorded] { return Recording().ends_with(" " + recorded + "\n"); }, 5s))
        << Recording() << "PULSE_SOURCE=" << pulse_source << ", default " << default_source;
    ASSERT_TRUE(WaitDone());
    // Moved back to the default: PipeWire's session manager forgets the move, which it would
    // otherwise apply to the next stream of the kind.
    if (then == kMovedByHand) move_to("test_input");
    StopCapture(state);
  }
  unsetenv("PULSE_SOURCE");
  Pactl("set-default-source test_input");
  EXPECT_TRUE(shown.empty()) << shown.front();
}

INSTANTIATE_TEST_SUITE_P(Servers, OnServer, ::testing::Values("pulseaudio", "pipewire"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace quorvane
