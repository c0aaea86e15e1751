// Sound-server faults while the capture cycle runs. Each test breaks a private server of its
// own (killed, hung, restarted, its input removed or suspended) and checks that the fault
// becomes a result with its text, within bounded time, and that nothing is left behind.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "capture_fixture.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using testing::MillisecondsSince;
using testing::PulseServer;
using Clock = std::chrono::steady_clock;

class PulseFaultTest : public testing::PulseCaptureFixture {
 protected:
  PulseFaultTest()
      : PulseCaptureFixture(PulseServer::Private(), "cannot start a private PulseAudio server") {}

  // The fault the device holds, as the next queueing call returns it.
  std::string DeviceFault(MMRESULT& result) {
    waveInReset(state.hWaveIn);
    result = waveInAddBuffer(state.hWaveIn, &state.whdr, sizeof(WAVEHDR));
    char text[MAXERRORLENGTH];
    waveInGetErrorTextA(result, text, sizeof text);
    return text;
  }

  // Records one block from start to done; false when it did not complete whole.
  bool RecordBlock() {
    StartCapture(state);
    if (!state.blnRecording) return false;
    const bool whole = WaitDone() >= 0 && state.whdr.dwBytesRecorded == 16384;
    StopCapture(state);
    return whole;
  }

  static void Observe(const std::string& fault, const std::string& what) {
    std::cout << "[observed] " << fault << ": " << what << '\n';
  }

  // Suspends `target` ("source NAME" or "sink NAME") for 1.8 s in the middle of a block: the
  // block waits, then completes whole with no fault, and the next one records normally.
  void SuspendMidBlock(const std::string& target, const std::string& fault,
                       const std::string& completed_early) {
    StartCapture(state);
    ASSERT_TRUE(state.blnRecording);
    std::this_thread::sleep_for(100ms);
    server.Pactl("suspend-" + target + " 1");
    // Longer than three buffer periods: a running source this quiet would count as hung.
    EXPECT_LT(WaitDone(1800ms), 0) << completed_early;
    const DWORD before_resume = state.whdr.dwBytesRecorded;
    server.Pactl("suspend-" + target + " 0");
    const double resumed_after = WaitDone();
    ASSERT_GE(resumed_after, 0);
    EXPECT_EQ(state.whdr.dwBytesRecorded, 16384u);
    EXPECT_EQ(waveInStart(state.hWaveIn), MMSYSERR_NOERROR);  // no fault
    Observe(fault, "held at " + std::to_string(before_resume) +
                       " bytes for 1.8 s, whole block done " + std::to_string(resumed_after) +
                       " ms after resuming");
    StopCapture(state);
    EXPECT_TRUE(RecordBlock());
    EXPECT_TRUE(shown.empty());
  }
};

TEST_F(PulseFaultTest, ServerKilledWhileRecording) {
  StartCapture(state);
  ASSERT_TRUE(state.blnRecording);
  std::this_thread::sleep_for(150ms);
  const pid_t pid = server.Pid();
  ASSERT_GT(pid, 0);
  const auto killed = Clock::now();
  kill(pid, SIGKILL);
  const double noticed = WaitDone();
  const double since_kill = MillisecondsSince(killed);
  server.KillHard();  // tidies up after it
  ASSERT_GE(noticed, 0) << "the buffer never completed";
  EXPECT_LT(since_kill, 1000);
  EXPECT_GT(state.whdr.dwBytesRecorded, 0u);  // what came before the fault is kept
  EXPECT_LT(state.whdr.dwBytesRecorded, 16384u);
  MMRESULT fault = 0;
  const std::string fault_text = DeviceFault(fault);
  EXPECT_EQ(fault, MMSYSERR_NODRIVER);
  EXPECT_EQ(fault_text,
            "The sound input device is not answering. Lost the connection to the sound server: "
            "Connection terminated.");
  Observe("server killed", "buffer done with " + std::to_string(state.whdr.dwBytesRecorded) +
                               " bytes " + std::to_string(since_kill) +
                               " ms after the kill; device " + std::to_string(fault) + " \"" +
                               fault_text + "\"");

  // The cycle goes on: the restart fails and that reaches the user.
  StopCapture(state);
  const auto start = Clock::now();
  StartCapture(state);
  EXPECT_LT(MillisecondsSince(start), 3000);
  EXPECT_FALSE(state.blnRecording);
  EXPECT_EQ(state.lngWaveResult, static_cast<Long>(MMSYSERR_BADDEVICEID));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0],
            "There is no sound input device with that number. Sound server: Connection refused.");
  Observe("server killed",
          "restart " + std::to_string(state.lngWaveResult) + " \"" + shown[0] + "\"");
}

TEST_F(PulseFaultTest, SourceRemovedWhileRecording) {
  const std::string module = server.ModuleIndex("module-remap-source");
  ASSERT_FALSE(module.empty());
  StartCapture(state);
  ASSERT_TRUE(state.blnRecording);
  std::this_thread::sleep_for(150ms);
  const auto removed = Clock::now();
  server.Pactl("unload-module " + module);
  const double noticed = WaitDone();
  ASSERT_GE(noticed, 0);
  const double since_removal = MillisecondsSince(removed);
  EXPECT_LT(since_removal, 1000);
  EXPECT_GT(state.whdr.dwBytesRecorded, 0u);
  EXPECT_LT(state.whdr.dwBytesRecorded, 16384u);
  MMRESULT fault = 0;
  const std::string fault_text = DeviceFault(fault);
  EXPECT_EQ(fault, MMSYSERR_NODRIVER);
  EXPECT_EQ(fault_text, "The sound input device is not answering. The input source was removed.");
  Observe("source removed", "buffer done after " + std::to_string(since_removal) + " ms; device " +
                                std::to_string(fault) + " \"" + fault_text + "\"");

  StopCapture(state);
  StartCapture(state);
  EXPECT_FALSE(state.blnRecording);
  EXPECT_EQ(state.lngWaveResult, static_cast<Long>(MMSYSERR_BADDEVICEID));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0],
            "There is no sound input device with that number. The sound server has no input "
            "source.");
  Observe("source removed",
          "restart " + std::to_string(state.lngWaveResult) + " \"" + shown[0] + "\"");
}

TEST_F(PulseFaultTest, SuspendedSourceOnlyDelaysTheBlock) {
  SuspendMidBlock("source test_input", "source suspended",
                  "the block completed while its source was suspended");
}

TEST_F(PulseFaultTest, SuspendedSinkUnderTheSourceOnlyDelaysTheBlock) {
  // The input is made from the sink's monitor: suspending the sink silences it, though the
  // input itself does not report a suspension. That is a wait, not a hung server.
  SuspendMidBlock("sink test_sink", "sink suspended",
                  "the block completed while the sink was suspended");
}

TEST_F(PulseFaultTest, ServerRestartedBetweenBlocks) {
  ASSERT_TRUE(RecordBlock());
  ASSERT_TRUE(server.Restart());
  const auto start = Clock::now();
  StartCapture(state);
  const double reopened = MillisecondsSince(start);
  EXPECT_TRUE(state.blnRecording);
  EXPECT_EQ(state.lngWaveResult, 0);
  EXPECT_GE(WaitDone(), 0);
  EXPECT_EQ(state.whdr.dwBytesRecorded, 16384u);
  StopCapture(state);
  EXPECT_TRUE(shown.empty());
  Observe("server restarted", "next StartCapture succeeded in " + std::to_string(reopened) +
                                  " ms, block recorded whole");
  EXPECT_TRUE(RecordBlock());
}

TEST_F(PulseFaultTest, HungServer) {
  const pid_t pid = server.Pid();
  ASSERT_GT(pid, 0);
  StartCapture(state);
  ASSERT_TRUE(state.blnRecording);
  std::this_thread::sleep_for(150ms);
  kill(pid, SIGSTOP);
  const double noticed = WaitDone();
  std::string log;
  ASSERT_GE(noticed, 0) << "a hung server froze the block";
  EXPECT_GT(noticed, 900);  // three buffer periods (1.1 s) less what was already recorded
  EXPECT_LT(noticed, 1800);
  EXPECT_LT(state.whdr.dwBytesRecorded, 16384u);
  MMRESULT fault = 0;
  const std::string fault_text = DeviceFault(fault);
  EXPECT_EQ(fault, MMSYSERR_NODRIVER);
  EXPECT_EQ(fault_text.rfind("The sound input device is not answering. No sound arrived from the "
                             "sound server for 1.",
                             0),
            0u)
      << fault_text;
  Observe("server hung", "buffer done after " + std::to_string(noticed) + " ms with " +
                             std::to_string(state.whdr.dwBytesRecorded) + " bytes; device " +
                             std::to_string(fault) + " \"" + fault_text + "\"");

  auto start = Clock::now();
  StopCapture(state);
  EXPECT_LT(MillisecondsSince(start), 500);
  start = Clock::now();
  StartCapture(state);
  const double refused = MillisecondsSince(start);
  EXPECT_LT(refused, 3000);
  EXPECT_FALSE(state.blnRecording);
  EXPECT_EQ(state.lngWaveResult, static_cast<Long>(MMSYSERR_NODRIVER));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0],
            "The sound input device is not answering. The sound server has not answered yet.");
  Observe("server hung", "restart " + std::to_string(state.lngWaveResult) + " \"" + shown[0] +
                             "\" after " + std::to_string(refused) + " ms");

  // Once it runs again, so does capture, and the abandoned connections are gone.
  kill(pid, SIGCONT);
  shown.clear();
  EXPECT_TRUE(RecordBlock());
  EXPECT_TRUE(shown.empty());
  UsePulseWaveInput();
  for (int i = 0; i < 50 && server.Clients() > 1; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(server.Clients(), 1);  // the silent clock player only
}

TEST_F(PulseFaultTest, ClientListReturnsToItsSizeAfterManyCycles) {
  const int clients_before = server.Clients();
  ASSERT_GE(clients_before, 1);
  state.lngBufferBytes = 441;  // 10 ms blocks keep 200 cycles short
  int most = 0;
  for (int cycle = 0; cycle < 200; ++cycle) {
    StartCapture(state);
    ASSERT_TRUE(state.blnRecording) << "cycle " << cycle << ": " << shown.back();
    ASSERT_GE(WaitDone(), 0) << "cycle " << cycle;
    StopCapture(state);
    if (cycle % 50 == 25) most = std::max(most, server.Clients());
  }
  EXPECT_LE(most, clients_before + 1);  // one connection, reused
  // The kept connection goes once no open comes for a while.
  int clients_after = server.Clients();
  for (int i = 0; i < 60 && clients_after != clients_before; ++i) {
    std::this_thread::sleep_for(50ms);
    clients_after = server.Clients();
  }
  EXPECT_EQ(clients_after, clients_before);

  // And with nothing kept, every close gives the connection back at once.
  UsePulseWaveInput({.keep_connection_ms = 0});
  for (int cycle = 0; cycle < 20; ++cycle) {
    StartCapture(state);
    ASSERT_TRUE(state.blnRecording);
    StopCapture(state);
    ASSERT_EQ(server.Clients(), clients_before) << "cycle " << cycle;
  }
  EXPECT_TRUE(shown.empty());
}

}  // namespace
}  // namespace quorvane
