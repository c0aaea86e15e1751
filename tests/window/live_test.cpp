// The window on real servers, PulseAudio and PipeWire, each test starting its own: a tone on the
// screen, and the sound system failing under the running window and coming back.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <iostream>
#include <tuple>

#include "tests/capture/sound_server.h"
#include "tests/window/window_test_support.h"

namespace quorvane {
namespace {

using testing::SoundServer;

// A shown window on a server of its own (started unless `start` is false) that counts the
// blocks shown, and the longest the window's thread was away from its events.
struct Running : CycleProbe {
  explicit Running(const char* kind, bool start = true) : server(kind, start) {
    server.UseFromThisProcess();
    UsePulseWaveInput();
    QObject::connect(&timer, &QTimer::timeout, [this] {
      if (clock.isValid()) longest = std::max(longest, clock.elapsed());
      clock.start();
    });
    timer.start(1);
    window.analyser().SetProbe(this);
    window.form->show();
    test::ProcessEvents(100);
  }
  void BlockShown(const Analyser&) override { ++blocks; }
  SoundServer server;
  test::RecordedForm window;
  int blocks = 0;
  qint64 longest = 0;
  QElapsedTimer clock;
  QTimer timer;
};

class ToneTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ToneTest, PeaksAtItsColumnWithItsReadout) {
  QUORVANE_REQUIRE(SoundServer(GetParam(), false).Missing());
  Running run(GetParam());
  testing::Player player(run.server, 372, 0.5, 40);  // 1001.3 Hz
  // About ten blocks bring the smoothed level above 40 dB, clear of the leakage around it.
  ASSERT_TRUE(
      test::ProcessEventsUntil([&] { return run.window.state().dblLevel[372] > 40; }, 30000));
  const QPoint top = test::Highest(test::PixelsOf(test::Shown(*run.window.form), test::kYellow));
  EXPECT_LE(std::abs(top.x() - test::PlotColumn(test::PlotX(372 * 22050.0 / 8192))), 1);
  EXPECT_EQ(run.window.form->lblFreq->text(), "1001 Hz");
  EXPECT_TRUE(run.window.boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, ToneTest, ::testing::Values("pulseaudio", "pipewire"),
                         [](const auto& info) { return std::string(info.param); });

// How the server fails and is mended, as commands of tools/pulse-test-server. On PulseAudio the
// whole stack is the one server.
struct Outage {
  const char *name, *fail, *mend;  // no `fail`: no server at start
  std::size_t boxes;
  bool or_none = false;  // the server may be back before the window noticed
} const kOutages[] = {
    {"NoServerAtStart", nullptr, "start", 1},
    {"ServerKilled", "kill", "start", 1},
    {"ServerRestartedAtOnce", "restart", nullptr, 1, true},
    {"SourceRemoved", "pactl unload-module module-remap-source", "start", 1},
    {"ServerHung", "signal STOP", "signal CONT", 1},
    {"SourceSuspended", "pactl suspend-source test_input 1", "pactl suspend-source test_input 0",
     0},
    {"SinkSuspended", "pactl suspend-sink test_sink 1", "pactl suspend-sink test_sink 0", 0},
    {"WholeStackKilled", "kill-all", "start", 1}};

class OutageTest : public ::testing::TestWithParam<std::tuple<const char*, Outage>> {};

TEST_P(OutageTest, BlocksResumeAfterOneBoxWithoutStallingTheWindow) {
  const auto& [kind, outage] = GetParam();
  QUORVANE_REQUIRE(SoundServer(kind, false).Missing());
  Running run(kind, outage.fail != nullptr);
  run.window.form->scrReflvl->setValue(20);  // a setting the outage must not reset
  if (outage.fail) {
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return run.blocks > 0; }, 10000));
    run.server.Tool(outage.fail);
  }
  run.clock.invalidate();  // what the test itself took does not count
  run.longest = 0;
  test::ProcessEventsUntil([&] { return run.window.boxes.size() >= outage.boxes; }, 10000);
  test::ProcessEvents(2200);  // a retry within the outage shows no box
  if (outage.mend) run.server.Tool(outage.mend);
  run.clock.invalidate();
  const int before = run.blocks;
  QElapsedTimer since;
  since.start();
  ASSERT_TRUE(test::ProcessEventsUntil([&] { return run.blocks > before; }, 15000));
  std::cout << "[observed] " << kind << " " << outage.name << ": first block " << since.elapsed()
            << " ms after the server's return; longest stall " << run.longest << " ms\n";
  const std::vector<std::string>& boxes = run.window.boxes;
  EXPECT_TRUE(boxes.size() == outage.boxes || (outage.or_none && boxes.empty())) << boxes.size();
  EXPECT_TRUE(outage.fail || boxes.at(0).rfind("There is no sound input device", 0) == 0);
  EXPECT_LT(run.longest, 500);  // far above a tick's work, far below a 2 s wait
  EXPECT_EQ(run.window.state().sngRefLevel, 20);
}

INSTANTIATE_TEST_SUITE_P(Servers, OutageTest,
                         ::testing::Combine(::testing::Values("pulseaudio", "pipewire"),
                                            ::testing::ValuesIn(kOutages)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
}  // namespace quorvane
