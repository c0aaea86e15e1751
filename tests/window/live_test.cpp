// The window on real servers, PulseAudio and PipeWire, each test starting its own: a tone on the
// screen, and the sound system failing under the running window and coming back.

#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <iostream>

#include "tests/capture/sound_server.h"
#include "tests/window/window_test_support.h"

namespace quorvane {
namespace {

using testing::SoundServer;

// Counts the blocks shown, and the longest the window's thread was away from its events.
struct Watch : CycleProbe {
  Watch() {
    QObject::connect(&timer, &QTimer::timeout, [this] {
      if (clock.isValid()) longest = std::max(longest, clock.elapsed());
      clock.start();
    });
    timer.start(1);
  }
  void BlockShown(const Analyser&) override { ++blocks; }
  int blocks = 0;
  qint64 longest = 0;
  QElapsedTimer clock;
  QTimer timer;
};

struct Running {
  explicit Running(const char* kind, bool start = true) : server(kind, start) {
    server.UseFromThisProcess();
    UsePulseWaveInput();
    window.analyser().SetProbe(&watch);
    window.form->show();
    test::ProcessEvents(100);
  }
  SoundServer server;
  test::RecordedForm window;
  Watch watch;
};

class ToneTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ToneTest, PeaksAtItsColumnWithItsReadout) {
  QUORVANE_REQUIRE(testing::ServerPrograms(GetParam()));
  Running running(GetParam());
  testing::Player player(running.server, testing::Tone(372, 0.5, 40));  // 1001.3 Hz
  test::RecordedForm& window = running.window;
  // About ten blocks bring the smoothed level above 40 dB, clear of the leakage around it.
  ASSERT_TRUE(test::ProcessEventsUntil([&] { return window.state().dblLevel[372] > 40; }, 30000));
  const QPoint top = test::Highest(test::PixelsOf(test::Shown(*window.form), test::kYellow));
  EXPECT_LE(std::abs(top.x() - test::PlotColumn(test::PlotX(372 * 22050.0 / 8192))), 1);
  EXPECT_EQ(window.form->lblFreq->text(), "1001 Hz");
  EXPECT_TRUE(window.boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, ToneTest, ::testing::Values("pulseaudio", "pipewire"),
                         [](const auto& info) { return std::string(info.param); });

using Step = std::function<void(SoundServer&)>;
const Step kStart = [](SoundServer& s) { s.Tool("start"); };
Step Pactl(const std::string& arguments) {
  return [arguments](SoundServer& s) { s.Tool("pactl", arguments); };
}
Step Signal(int signal) {
  return [signal](SoundServer& s) { kill(std::atoi(s.Tool("pid").c_str()), signal); };
}
struct Outage {
  const char* name;
  Step fail, mend;  // no `fail`: no server at start
  std::size_t boxes;
  bool or_none = false;  // the server may be back before the window noticed
  bool pipewire_only = false;
} const kOutages[] = {
    {"NoServerAtStart", nullptr, kStart, 1},
    {"ServerKilled", [](SoundServer& s) { s.Tool("kill"); }, kStart, 1},
    {"ServerRestartedAtOnce", [](SoundServer& s) { s.Tool("restart"); }, nullptr, 1, true},
    {"SourceRemoved", Pactl("unload-module module-remap-source"), kStart, 1},
    {"ServerHung", Signal(SIGSTOP), Signal(SIGCONT), 1},
    {"SourceSuspended", Pactl("suspend-source test_input 1"), Pactl("suspend-source test_input 0"),
     0},
    {"SinkSuspended", Pactl("suspend-sink test_sink 1"), Pactl("suspend-sink test_sink 0"), 0},
    {"WholeStackKilled", [](SoundServer& s) { s.Tool("kill-all"); }, kStart, 1, false, true}};

using OutageCase = std::pair<const char*, const Outage*>;
class OutageTest : public ::testing::TestWithParam<OutageCase> {};

TEST_P(OutageTest, BlocksResumeAfterOneBoxWithoutStallingTheWindow) {
  const auto [kind, outage] = GetParam();
  QUORVANE_REQUIRE(testing::ServerPrograms(kind));
  Running running(kind, outage->fail != nullptr);
  auto& [server, window, watch] = running;
  window.form->scrReflvl->setValue(20);  // a setting the outage must not reset
  if (outage->fail) {
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return watch.blocks > 0; }, 10000));
    outage->fail(server);
  }
  watch.clock.invalidate();  // what the test itself took does not count
  watch.longest = 0;
  test::ProcessEventsUntil([&] { return window.boxes.size() >= outage->boxes; }, 10000);
  test::ProcessEvents(2200);  // a retry within the outage shows no box
  if (outage->mend) outage->mend(server);
  watch.clock.invalidate();
  const int before = watch.blocks;
  QElapsedTimer since;
  since.start();
  ASSERT_TRUE(test::ProcessEventsUntil([&] { return watch.blocks > before; }, 15000));
  std::cout << "[observed] " << kind << " " << outage->name << ": first block " << since.elapsed()
            << " ms after the server's return; longest stall " << watch.longest << " ms\n";
  EXPECT_TRUE(window.boxes.size() == outage->boxes || (outage->or_none && window.boxes.empty()))
      << window.boxes.size() << " boxes";
  EXPECT_TRUE(outage->fail || window.boxes.at(0).rfind("There is no sound input device", 0) == 0);
  EXPECT_LT(watch.longest, 500);  // far above a tick's work, far below a 2 s wait
  EXPECT_EQ(window.state().sngRefLevel, 20);
}

std::vector<OutageCase> OutageCases() {
  std::vector<OutageCase> cases;
  for (const char* kind : {"pulseaudio", "pipewire"}) {
    for (const Outage& outage : kOutages) {
      if (!outage.pipewire_only || std::string(kind) == "pipewire")
        cases.emplace_back(kind, &outage);
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Servers, OutageTest, ::testing::ValuesIn(OutageCases()),
                         [](const auto& info) {
                           return std::string(info.param.first) + "_" + info.param.second->name;
                         });

}  // namespace
}  // namespace quorvane
