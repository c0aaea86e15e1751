// Measures the block cycle against a running PulseAudio server whose input carries what is
// played into its sink: per block, the time from the start of StartCapture (waveInOpen) to
// the first sample in the buffer, and the sound lost between one block's last sample and the
// next block's first. A counting signal is played, so the loss is read off the samples.
//
//   capture_gap [--blocks N] [--keep-ms MS] [--fragment-ms MS] [--sink NAME]
//
// PULSE_SERVER must name the server (see tools/pulse-test-server and measure-capture-gap).

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/module1.h"
#include "capture/wave_drivers.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kSamplesPerMs = 22.05;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Summary {
  double median = 0, max = 0, min = 0;
};

Summary Summarise(std::vector<double> values) {
  Summary s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  s.max = values.back();
  s.min = values.front();
  return s;
}

pid_t Play(const std::string& file, const std::string& sink) {
  const std::string device = "--device=" + sink;
  const char* argv[] = {"pacat",        "--playback",   device.c_str(),      "--format=s16le",
                        "--rate=22050", "--channels=1", "--latency-msec=20", file.c_str(),
                        nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, "pacat", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return -1;
  }
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  int blocks = 50;
  quorvane::PulseWaveInputOptions options;
  std::string sink = "test_sink";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--blocks")
      blocks = std::atoi(argv[i + 1]);
    else if (name == "--keep-ms")
      options.keep_connection_ms = std::atoi(argv[i + 1]);
    else if (name == "--fragment-ms")
      options.fragment_ms = std::atoi(argv[i + 1]);
    else if (name == "--sink")
      sink = argv[i + 1];
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (std::getenv("PULSE_SERVER") == nullptr) {
    std::fprintf(stderr, "PULSE_SERVER is not set\n");
    return 2;
  }

  // A 16-bit counter, long enough for every block plus slack.
  const std::size_t samples = static_cast<std::size_t>(blocks + 20) * 9000;
  std::vector<std::int16_t> ramp(samples);
  for (std::size_t i = 0; i < samples; ++i) ramp[i] = static_cast<std::int16_t>(i & 0xFFFF);
  const std::string file = "/tmp/capture-gap-" + std::to_string(getpid()) + ".raw";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(ramp.data()),
             static_cast<std::streamsize>(ramp.size() * 2));
  const pid_t player = Play(file, sink);
  if (player < 0) {
    std::fprintf(stderr, "cannot start pacat\n");
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  quorvane::UsePulseWaveInput(options);
  quorvane::SetMessageBox([](const std::string& text) {
    std::fprintf(stderr, "wave-input error: %s\n", text.c_str());
  });
  quorvane::CaptureState state;
  state.strSampleRate = "22050";
  state.lngBufferBytes = 16384;

  std::vector<double> open_to_first, open_ms, gaps, cycle_ms;
  int broken_blocks = 0, failed = 0;
  long previous_last = -1;
  std::vector<double> values(8192);
  for (int block = 0; block < blocks; ++block) {
    if (block == 0) {
      // The first start finds the connection being made: wait for the capture's signal.
      quorvane::StartCapture(state);
      while (!state.blnRecording && state.lngWaveResult == WAVERR_PREPARING) {
        pollfd signal{quorvane::CaptureSignalDescriptor(), POLLIN, 0};
        poll(&signal, 1, 3000);
        quorvane::TakeCaptureSignal();
        quorvane::StartCapture(state);
      }
      quorvane::StopCapture(state);
    }
    const Clock::time_point start = Clock::now();
    quorvane::StartCapture(state);
    const Clock::time_point opened = Clock::now();
    if (!state.blnRecording) {
      ++failed;
      previous_last = -1;
      continue;
    }
    open_ms.push_back(Ms(opened - start));
    std::atomic_ref<DWORD> recorded(state.whdr.dwBytesRecorded);
    bool seen_first = false;
    const Clock::time_point limit = start + std::chrono::seconds(5);
    while (!quorvane::CaptureBufferDone(state) && Clock::now() < limit) {
      if (!seen_first && recorded.load(std::memory_order_relaxed) > 0) {
        open_to_first.push_back(Ms(Clock::now() - start));
        seen_first = true;
      }
      // Finer than the window's 1 ms timer until the first sample, to time it.
      std::this_thread::sleep_for(seen_first ? std::chrono::microseconds(1000)
                                             : std::chrono::microseconds(100));
    }
    if (!seen_first && quorvane::CaptureBufferDone(state)) {
      open_to_first.push_back(Ms(Clock::now() - start));
    }
    const bool complete = quorvane::CaptureBufferDone(state) && state.whdr.dwBytesRecorded == 16384;
    for (quorvane::Long i = 0; i < 8192; ++i) quorvane::GetSample(state, i, values[i]);
    quorvane::StopCapture(state);
    cycle_ms.push_back(Ms(Clock::now() - start));
    if (!complete) {
      ++failed;
      previous_last = -1;
      continue;
    }
    auto at = [&](int i) { return std::lround(values[i] * 32768) & 0xFFFF; };
    for (int i = 1; i < 8192; ++i) {
      if (((at(i) - at(i - 1)) & 0xFFFF) != 1) {
        // Usually the player running dry (the sink then mixes silence), not capture.
        int zeros = 0;
        for (int j = i; j < 8192 && at(j) == 0; ++j) ++zeros;
        std::fprintf(stderr, "block %d: break at sample %d (%ld -> %ld, %d zeros follow)\n", block,
                     i, at(i - 1), at(i), zeros);
        ++broken_blocks;
        break;
      }
    }
    if (previous_last >= 0) {
      const long lost = (at(0) - previous_last - 1) & 0xFFFF;
      gaps.push_back(static_cast<double>(lost) / kSamplesPerMs);
    }
    previous_last = at(8191);
  }
  kill(player, SIGTERM);
  waitpid(player, nullptr, 0);
  std::remove(file.c_str());

  const Summary first = Summarise(open_to_first), gap = Summarise(gaps), open = Summarise(open_ms),
                cycle = Summarise(cycle_ms);
  std::printf(
      "blocks %d (keep connection %d ms, fragment %d ms), failed %d, "
      "blocks with a break inside %d\n",
      blocks, options.keep_connection_ms, options.fragment_ms, failed, broken_blocks);
  std::printf("StartCapture call:        median %7.2f ms  max %7.2f ms\n", open.median, open.max);
  std::printf("open to first sample:     median %7.2f ms  max %7.2f ms\n", first.median, first.max);
  std::printf("gap between blocks:       median %7.2f ms  max %7.2f ms  min %7.2f ms (%zu gaps)\n",
              gap.median, gap.max, gap.min, gaps.size());
  std::printf("whole cycle:              median %7.2f ms  max %7.2f ms\n", cycle.median, cycle.max);
  return failed == 0 && broken_blocks == 0 ? 0 : 1;
}
