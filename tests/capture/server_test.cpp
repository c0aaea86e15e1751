// The capture routines recording from real sound servers, PulseAudio and PipeWire, that CTest's
// fixtures started for these tests to share.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>

#include "capture_fixture.h"
#include "sound_server.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using testing::SoundServer;

class ServerTest : public testing::CaptureFixture, public ::testing::TestWithParam<const char*> {
 protected:
  ServerTest() : CaptureFixture(16384), server(SoundServer::Shared(GetParam())) {}
  void SetUp() override {
    QUORVANE_REQUIRE(testing::ServerPrograms(GetParam()));
    ASSERT_TRUE(server.ok()) << "no shared server; run through ctest";
    server.UseFromThisProcess();
    UsePulseWaveInput();
  }

  // Our stream's index and the name of the source it records from; empty when there is none.
  std::pair<std::string, std::string> Recording() const {
    std::istringstream outputs(server.Pactl("list source-outputs"));
    std::string output, source;
    for (std::string line; std::getline(outputs, line);) {
      if (line.rfind("Source Output #", 0) == 0) output = line.substr(15);
      if (line.find("Source: ") != std::string::npos) source = line.substr(line.find(':') + 2);
      if (line.find("application.name = \"Quorvane Spectrum\"") == std::string::npos) continue;
      std::istringstream sources(server.Pactl("list short sources"));
      for (std::string number, name, rest;
           sources >> number >> name && std::getline(sources, rest);) {
        if (number == source) return {output, name};
      }
    }
    return {};
  }

  SoundServer server;
};

double Magnitude(const std::vector<double>& block, int bin) {
  std::complex<double> sum;
  for (std::size_t n = 0; n < block.size(); ++n) {
    sum += block[n] * std::polar(1.0, -2 * std::numbers::pi * bin * static_cast<double>(n) / 8192);
  }
  return std::abs(sum);
}

TEST_P(ServerTest, AToneKeepsItsLevelAndFrequency) {
  constexpr int kBin = 372;  // 1001.3 Hz
  testing::Player player(server, testing::Tone(kBin, 0.5, 40));
  std::this_thread::sleep_for(400ms);  // for the player's stream to reach the sink
  StartCapture(state);
  ASSERT_TRUE(WaitDone());
  const std::vector<double> block = Block();
  // Whole cycles per block: the energy lands in one bin, |X| = A N / 2, even when the server
  // resampled the sound on its way.
  const double peak = Magnitude(block, kBin);
  EXPECT_NEAR(peak, 0.5 * 8192 / 2, 0.05 * 0.5 * 8192 / 2);
  for (int bin : {kBin - 3, kBin + 3, kBin / 2, 2 * kBin}) {
    EXPECT_LT(Magnitude(block, bin), peak / 100) << "bin " << bin;
  }
  EXPECT_TRUE(shown.empty());
}

TEST_P(ServerTest, ManyBlocksLeaveNoClientOrThreadBehind) {
  const int clients = server.Clients();
  const auto threads = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
  };
  const auto threads_before = threads();
  state.lngBufferBytes = 441;  // 10 ms
  for (int block = 0; block < 150; ++block) {
    StartCapture(state);
    ASSERT_TRUE(state.blnRecording) << block;
    ASSERT_TRUE(block % 3 != 0 || WaitDone()) << block;  // the others are cut short
    StopCapture(state);
    if (block % 50 == 25) {
      EXPECT_LE(server.Clients(), clients + 1);  // one connection, reused
    }
  }
  UsePulseWaveInput();  // lets go of the kept connection and its thread
  for (int i = 0; i < 100 && server.Clients() != clients; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(server.Clients(), clients);
  EXPECT_EQ(threads(), threads_before);
  EXPECT_TRUE(shown.empty());
}

// Device 0 is the source PULSE_SOURCE names, else the default source unless it is a monitor,
// else the lowest-numbered source that is not a monitor; a moved stream stays moved.
TEST_P(ServerTest, RecordsTheInputTheDesktopChose) {
  if (server.Pactl("list short sources").find("second_input") == std::string::npos) {
    server.Pactl(
        "load-module module-remap-source source_name=second_input "
        "master=test_sink.monitor channels=1 rate=22050 channel_map=mono "
        "master_channel_map=mono");
  }
  const struct {
    const char* pulse_source;
    const char* default_source;
    bool move;
    const char* recorded;
  } cases[] = {{"", "test_input", false, "test_input"},
               {"second_input", "test_input", false, "second_input"},
               {"", "second_input", false, "second_input"},
               {"", "test_sink.monitor", false, "test_input"},
               {"test_sink.monitor", "test_input", false, "test_sink.monitor"},
               {"", "test_input", true, "second_input"}};
  state.lngBufferBytes = 4410;  // 0.1 s
  for (const auto& choice : cases) {
    if (*choice.pulse_source != '\0') {
      setenv("PULSE_SOURCE", choice.pulse_source, 1);
    } else {
      unsetenv("PULSE_SOURCE");
    }
    server.Pactl(std::string("set-default-source ") + choice.default_source);
    UsePulseWaveInput();
    for (int block = 0; block < 3; ++block) {
      StartCapture(state);
      ASSERT_TRUE(state.blnRecording) << choice.recorded;
      if (block == 0 && choice.move) {
        server.Pactl("move-source-output " + Recording().first + " second_input");
      }
      ASSERT_TRUE(WaitDone());
      EXPECT_EQ(Recording().second, choice.recorded) << "PULSE_SOURCE=" << choice.pulse_source;
      StopCapture(state);
    }
  }
  unsetenv("PULSE_SOURCE");
  server.Pactl("set-default-source test_input");
  EXPECT_TRUE(shown.empty()) << shown.front();
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerTest, ::testing::Values("pulseaudio", "pipewire"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace quorvane
