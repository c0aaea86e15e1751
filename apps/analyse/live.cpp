#include "apps/analyse/live.h"

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "analyser/analyser.h"
#include "apps/analyse/block_cycle.h"
#include "apps/analyse/block_report.h"
#include "apps/analyse/readout_row.h"
#include "capture/module1.h"
#include "capture/wave_drivers.h"
#include "common/runtime_error.h"

namespace quorvane {

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr Seconds kBlockSound{static_cast<double>(kBlockSamples) / SoundInput::kRate};

// SIGINT and SIGTERM only write to a pipe that the loop polls beside the capture's signal, so
// a row is never cut and the capture is stopped as usual. A second one ends the program at once,
// should the stopping hang.
class StopSignals {
 public:
  StopSignals() {
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe");
    }
    write_end_ = fds_[1];
    struct sigaction action {};
    action.sa_handler = [](int) {
      const int saved = errno;
      const char byte = 1;
      [[maybe_unused]] const ssize_t written = write(write_end_, &byte, 1);
      errno = saved;
    };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &old_[i]);
  }
  ~StopSignals() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &old_[i], nullptr);
    close(fds_[0]);
    close(fds_[1]);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int Descriptor() const { return fds_[0]; }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM};
  static inline int write_end_ = -1;
  int fds_[2] = {-1, -1};
  struct sigaction old_[std::size(kSignals)]{};
};

// UTF-8 when the user's locale says so; the program itself keeps the C locale.
Charset TerminalCharset() {
  const char* set = std::setlocale(LC_CTYPE, "");
  const bool utf8 = set != nullptr && strcasecmp(nl_langinfo(CODESET), "UTF-8") == 0;
  std::setlocale(LC_CTYPE, "C");
  return utf8 ? Charset::kUtf8 : Charset::kAscii;
}

// Standard output: rows, each flushed as it is written, or on a terminal one tuner line
// rewritten in place, with the cursor hidden and line wrap off while it runs.
class Output {
 public:
  explicit Output(bool json) : tuner_(!json && isatty(STDOUT_FILENO)), json_(json) {
    if (tuner_) {
      charset_ = TerminalCharset();
      std::fputs("\033[?25l\033[?7l", stdout);
      Show("waiting for sound input");
    } else if (!json) {
      Write(kCsvHeader);
    }
  }
  ~Output() {
    if (!tuner_) return;
    Show(line_);  // over a "^C" the terminal may have echoed
    std::fputs("\n\033[?25h\033[?7h", stdout);
    std::fflush(stdout);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void Block(const BlockReadouts& readouts) {
    if (tuner_) return Show(TunerLine(readouts, charset_));
    Write(ReadoutRow(readouts, json_));
  }
  void Status(const std::string& text) {
    if (tuner_) Show(text);
  }
  // The error that a write to standard output met first (a reader gone, a full disk), or 0.
  int Error() const { return error_; }

  // One line on standard error, clear of the tuner line and wrapped whole, however long.
  void Say(const std::string& text) {
    if (tuner_) {
      std::fputs("\r\033[K\033[?7h", stdout);
      std::fflush(stdout);
    }
    std::fprintf(stderr, "quorvane-analyse: %s\n", text.c_str());
    if (tuner_) {
      std::fputs("\033[?7l", stdout);
      Show(line_);
    }
  }

 private:
  void Write(const std::string& row) {
    std::puts(row.c_str());
    Flush();
  }
  void Show(const std::string& line) {
    line_ = line;
    std::printf("\r%s\033[K", line.c_str());
    Flush();
  }
  void Flush() {
    if (std::fflush(stdout) != 0 && error_ == 0) error_ = errno;
  }

  bool tuner_;
  bool json_;
  Charset charset_ = Charset::kAscii;
  std::string line_;
  int error_ = 0;
};

// When each block was seen done, which is when its last sample arrived, give or take how the
// sound server hands sound on.
struct BlockClock : CycleProbe {
  void BlockDone(const Analyser&) override { done = Clock::now(); }
  Clock::time_point done;
};

Clock::duration Span(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(Seconds(std::min(seconds, 1e9)));
}

std::string Fixed1(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

}  // namespace

int RunLive(const LiveOptions& options) {
  const StopSignals stop;
  Output output(options.json);
  HeadlessControls controls;
  Analyser analyser(controls.Controls());
  BlockClock clock;
  analyser.SetProbe(&clock);

  std::int64_t blocks = 0;
  Clock::time_point first_done{};
  double start = 0;                       // of the last block, in seconds from the first one's
  std::string failure;                    // why there is no sound, until the first block
  std::optional<Clock::time_point> lost;  // when an outage was said
  SetMessageBox([&](const std::string& text) {
    if (blocks == 0) {
      failure = text;
      output.Status("waiting for sound input: " + text);
      return;
    }
    output.Say(text);
    output.Status("sound input lost: " + text);
    lost = Clock::now();
  });
  struct Unset {
    ~Unset() { SetMessageBox(nullptr); }
  } unset;

  UsePulseWaveInput();
  const Clock::time_point started = Clock::now();
  analyser.StartUp();
  int status = 0;
  for (;;) {
    std::optional<Clock::time_point> wake = analyser.RetryDue();
    // Until the first block, the wait; then the end of the --seconds.
    const auto deadline = [&] {
      if (blocks == 0) return started + Span(options.wait_seconds);
      if (!options.seconds) return Clock::time_point::max();
      return first_done + Span(*options.seconds - kBlockSound.count());
    };
    wake = wake ? std::min(*wake, deadline()) : deadline();
    int timeout = -1;
    if (*wake != Clock::time_point::max()) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<decltype(wait)>(wait, 0, INT_MAX));
    }
    pollfd fds[] = {{CaptureSignalDescriptor(), POLLIN, 0}, {stop.Descriptor(), POLLIN, 0}};
    if (poll(fds, std::size(fds), timeout) < 0 && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (fds[1].revents != 0) break;

    bool shown = false;
    try {
      shown = analyser.Timer1_Timer();
    } catch (const RuntimeError& error) {
      // As in the window, a fault ends this block's handling; the capture was restarted.
      output.Say(std::string("a block was not analysed: ") + error.what());
    }
    if (shown) {
      if (blocks == 0) first_done = clock.done;
      // Only blocks that end within the --seconds of sound.
      if (options.seconds && clock.done > first_done + Span(*options.seconds - kBlockSound.count()))
        break;
      if (lost) {
        output.Say("sound input is back after " + Fixed1(Seconds(Clock::now() - *lost).count()) +
                   " s");
        lost.reset();
      }
      BlockReadouts readouts =
          ReadoutTexts(controls.lblFreq, controls.lblMax, controls.lblMaxHold, controls.Label4);
      readouts.block = blocks;
      // A block is seen complete when the piece of sound holding its end arrives, up to a piece
      // late; blocks never overlap, so none starts before the last one's end.
      start = blocks == 0
                  ? 0
                  : std::max(start + kBlockSound.count(), Seconds(clock.done - first_done).count());
      readouts.start_seconds = start;
      AddLine(readouts, LineBins(analyser.State()), options.a4_hz);
      output.Block(readouts);
      if (output.Error() != 0) {
        output.Say(std::string("cannot write the rows: ") + std::strerror(output.Error()));
        status = 1;
        break;
      }
      if (++blocks == options.blocks) break;
    }
    if (Clock::now() < deadline()) continue;
    if (blocks > 0) break;  // --seconds
    output.Say(failure.empty()
                   ? "no sound arrived from the input within " + Fixed1(options.wait_seconds) + " s"
                   : "no sound input within " + Fixed1(options.wait_seconds) + " s: " + failure);
    status = 1;
    break;
  }
  analyser.Form_QueryUnload();
  return status;
}

}  // namespace quorvane
