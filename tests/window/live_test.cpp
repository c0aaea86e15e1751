// The window on real sound servers, PulseAudio and PipeWire, each test starting its own: a tone
// on the screen, and the sound system failing under the running window and coming back.

#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <iostream>
#include <sstream>

#include "tests/capture/sound_server.h"
#include "tests/window/window_test_support.h"

namespace quorvane {
namespace {

using testing::SoundServer;

class ToneTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ToneTest, PeaksAtItsColumnWithItsReadout) {
  QUORVANE_REQUIRE(testing::ServerPrograms(GetParam()));
  SoundServer server(GetParam());
  ASSERT_TRUE(server.ok());
  server.UseFromThisProcess();
  UsePulseWaveInput();
  testing::Player player(server, testing::Tone(372, 0.5, 40));  // 1001.3 Hz
  test::RecordedForm window;
  window.form->show();
  // About ten blocks bring the smoothed level above 40 dB, clear of the leakage around it.
  ASSERT_TRUE(test::ProcessEventsUntil([&] { return window.state().dblLevel[372] > 40; }, 30000));
  const QPoint top = test::Highest(test::PixelsOf(test::Shown(*window.form), test::kYellow));
  EXPECT_LE(std::abs(top.x() - test::PlotColumn(test::PlotX(372 * 22050.0 / 8192))), 1);
  EXPECT_EQ(window.form->lblFreq->text(), "1001 Hz");
  EXPECT_TRUE(window.boxes.empty());
  window.form->close();
  EXPECT_FALSE(window.capture().blnRecording);
}

INSTANTIATE_TEST_SUITE_P(Servers, ToneTest, ::testing::Values("pulseaudio", "pipewire"),
                         [](const auto& info) { return std::string(info.param); });

// Counts the blocks shown, and the longest time the window's thread was away from its events.
struct Watch : CycleProbe {
  Watch() {
    QObject::connect(&timer, &QTimer::timeout, [this] {
      if (clock.isValid()) longest = std::max(longest, clock.restart());
      clock.start();
    });
    timer.start(1);
  }
  void BlockShown(const Analyser&) override { ++blocks; }
  void Restart() {
    longest = 0;
    clock.invalidate();
  }
  int blocks = 0;
  qint64 longest = 0;
  QElapsedTimer clock;
  QTimer timer;
};

void Signal(SoundServer& server, int signal) {
  kill(server.Pid(), signal);
}

std::string InputModule(SoundServer& server) {
  std::istringstream lines(server.Pactl("list short modules"));
  for (std::string line; std::getline(lines, line);) {
    if (line.find("source_name=test_input") != std::string::npos)
      return line.substr(0, line.find('\t'));
  }
  return "none";
}

struct Outage {
  const char* name;
  std::function<void(SoundServer&)> fail, mend;
  std::size_t boxes;
  bool or_none = false;  // back before the window noticed
  bool pipewire_only = false;
};

const Outage kOutages[] = {
    {"NoServerAtStart", nullptr, [](SoundServer& s) { s.Tool("start"); }, 1},
    {"ServerKilled", [](SoundServer& s) { s.Tool("kill"); },
     [](SoundServer& s) { s.Tool("start"); }, 1},
    {"ServerRestartedAtOnce", [](SoundServer& s) { s.Tool("restart"); }, nullptr, 1, true},
    {"SourceRemoved", [](SoundServer& s) { s.Pactl("unload-module " + InputModule(s)); },
     [](SoundServer& s) { s.Tool("start"); }, 1},
    {"ServerHung", [](SoundServer& s) { Signal(s, SIGSTOP); },
     [](SoundServer& s) { Signal(s, SIGCONT); }, 1},
    {"SourceSuspended", [](SoundServer& s) { s.Pactl("suspend-source test_input 1"); },
     [](SoundServer& s) { s.Pactl("suspend-source test_input 0"); }, 0},
    {"SinkSuspended", [](SoundServer& s) { s.Pactl("suspend-sink test_sink 1"); },
     [](SoundServer& s) { s.Pactl("suspend-sink test_sink 0"); }, 0},
    {"WholeStackKilled", [](SoundServer& s) { s.Tool("kill-all"); },
     [](SoundServer& s) { s.Tool("start"); }, 1, false, true},
};

using OutageCase = std::pair<const char*, const Outage*>;
class OutageTest : public ::testing::TestWithParam<OutageCase> {};

TEST_P(OutageTest, BlocksResumeAfterOneBoxWithoutStallingTheWindow) {
  const auto [kind, outage] = GetParam();
  QUORVANE_REQUIRE(testing::ServerPrograms(kind));
  SoundServer server(kind, outage->fail != nullptr);
  ASSERT_TRUE(server.ok());
  server.UseFromThisProcess();
  UsePulseWaveInput();
  test::RecordedForm window;
  Watch watch;
  window.analyser().SetProbe(&watch);
  window.form->show();
  test::ProcessEvents(100);
  window.form->scrReflvl->setValue(20);  // a setting the outage must not reset
  if (outage->fail) {
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return watch.blocks > 0; }, 10000));
    outage->fail(server);
  }
  watch.Restart();  // from here on, only the window's own work counts
  // Long enough for a retry within the outage, which must not show a box.
  test::ProcessEventsUntil([&] { return window.boxes.size() >= outage->boxes; }, 10000);
  test::ProcessEvents(2200);
  if (outage->mend) outage->mend(server);
  watch.clock.invalidate();  // the time the test itself took to mend it
  const int before = watch.blocks;
  QElapsedTimer since;
  since.start();
  ASSERT_TRUE(test::ProcessEventsUntil([&] { return watch.blocks > before; }, 15000));
  std::cout << "[observed] " << kind << " " << outage->name << ": first block " << since.elapsed()
            << " ms after the server's return; longest stall " << watch.longest << " ms\n";
  if (!(outage->or_none && window.boxes.empty())) {
    EXPECT_EQ(window.boxes.size(), outage->boxes) << (window.boxes.empty() ? "" : window.boxes[0]);
  }
  if (!outage->fail) {
    ASSERT_FALSE(window.boxes.empty());
    EXPECT_EQ(window.boxes[0].rfind("There is no sound input device with that number.", 0), 0u);
  }
  EXPECT_LT(watch.longest, 500);  // a bound far above a tick's, far below a 2 s wait
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
