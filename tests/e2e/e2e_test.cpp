// The built analyser as a person meets it: its own process on a private X server (Xvfb), sound
// from a private PulseAudio server, screenshots taken with ImageMagick's `import`, keys typed
// with xdotool, and the window closed the way a window manager closes it (WM_DELETE_WINDOW).
// Each case skips itself when one of those programs is not installed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/capture/pulse_server.h"
#include "tests/window/plot_geometry.h"

// Last: Xlib's macros (None, Bool, Status, ...) would clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::Highest;
using test::PixelsOf;
using test::PlotColumn;
using test::PlotRow;
using test::PlotX;
using testing::MillisecondsSince;

constexpr const char* kCaption = "Quorvane Spectrum";
constexpr const char* kBoxTitle = "Tessavox";

constexpr QRgb kGrey = 0xC0C0C0;
constexpr QRgb kYellow = 0xFFFF00;

// How soon the process must end after its window is closed. A sanitizer build scans the
// whole heap for leaks as it exits, which takes up to a second more on a busy machine.
#if defined(__SANITIZE_ADDRESS__)
constexpr auto kExitBound = 2000ms;
#else
constexpr auto kExitBound = 1000ms;
#endif

// One block of 8192 samples at 22050 samples/s.
constexpr auto kBlock = 372ms;

// Picture1 sits at (64, 0) in the window, 321 x 297 pixels.
constexpr int kPlotLeft = 64;
constexpr int kPlotWidth = 321;
constexpr int kPlotHeight = 297;

// Plot y of a level at the start-up reference (80 dB at the top line, 10 dB a division).
double PlotY(double db) {
  return (80 - db) / 10 * 125;
}
double BinHz(int bin) {
  return bin * 22050.0 / 8192;
}

bool Installed(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path == nullptr ? "/usr/bin:/bin" : path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Polls `done` every `step` until it holds or `timeout` passes; returns whether it held.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
  const auto end = Clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(step);
  }
}

int Lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

std::string ReadText(const std::string& file) {
  std::ifstream in(file);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A child process that dies with this one and is killed by the destructor if still running.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Kill(); }

  // Runs `argv` with this process's environment changed by `overrides`, output to `log`;
  // `fd3`, when given, becomes the child's descriptor 3.
  bool Start(const std::vector<std::string>& argv,
             const std::map<std::string, std::string>& overrides, const std::string& log,
             int fd3 = -1) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string line = *entry;
      if (overrides.count(line.substr(0, line.find('='))) == 0) environment.push_back(line);
    }
    for (const auto& [key, value] : overrides) {
      if (!value.empty()) environment.push_back(key + "=" + value);
    }
    std::vector<char*> args, envp;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const std::string& line : environment) envp.push_back(const_cast<char*>(line.c_str()));
    envp.push_back(nullptr);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0) return false;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      // A test that dies (or is killed by CTest) leaves no analyser or X server behind.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      dup2(in, 0);
      dup2(out, 1);
      dup2(out, 2);
      if (fd3 >= 0) {
        if (fd3 == 3) {
          fcntl(3, F_SETFD, 0);
        } else {
          dup2(fd3, 3);
        }
      }
      execvpe(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(out);
    close(in);
    return pid_ > 0;
  }

  pid_t pid() const { return pid_; }
  bool Running() { return pid_ > 0 && !Poll(); }

  // The exit status, once the child has ended within `timeout`.
  std::optional<int> WaitFor(std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (!Poll() && Clock::now() < end) std::this_thread::sleep_for(2ms);
    return status_;
  }

  // Asks it to end, then kills it if it has not within `grace`.
  void Stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0 || Poll()) return;
    kill(pid_, SIGTERM);
    if (!WaitFor(grace)) Kill();
  }

  void Kill() {
    if (pid_ <= 0 || Poll()) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = status;
  }

 private:
  // True once the child has ended (and been reaped).
  bool Poll() {
    if (status_) return true;
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
};

std::string Describe(int status) {
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

struct TopWindow {
  Window id = 0;
  std::string title;
  int x = 0, y = 0, width = 0, height = 0;
};

// Windows come and go while they are listed; a vanished one is simply left out.
int IgnoreXErrors(Display*, XErrorEvent*) {
  return 0;
}

// Xvfb on a display it picks itself (so parallel tests never race for one), without a window
// manager: a top-level window's client area is where the window is.
class XServer {
 public:
  XServer() = default;
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;
  ~XServer() {
    if (display_ != nullptr) XCloseDisplay(display_);
    xvfb_.Stop(5s);  // a killed Xvfb would leave its lock file and socket behind
  }

  bool Start(const std::string& log) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return false;
    const bool started =
        xvfb_.Start({"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                    {}, log, ready[1]);
    close(ready[1]);
    std::string number;
    pollfd wait{ready[0], POLLIN, 0};
    while (started && number.find('\n') == std::string::npos && poll(&wait, 1, 20000) > 0) {
      char chunk[16];
      const ssize_t n = read(ready[0], chunk, sizeof chunk);
      if (n <= 0) break;
      number.append(chunk, static_cast<std::size_t>(n));
    }
    close(ready[0]);
    if (number.find('\n') == std::string::npos) return false;
    name_ = ":" + number.substr(0, number.find('\n'));
    XSetErrorHandler(IgnoreXErrors);
    display_ = XOpenDisplay(name_.c_str());
    return display_ != nullptr;
  }

  const std::string& name() const { return name_; }

  // The top-level windows that are on the screen, with their titles.
  std::vector<TopWindow> Shown() const {
    std::vector<TopWindow> shown;
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) {
      return shown;
    }
    for (unsigned i = 0; i < count; ++i) {
      XWindowAttributes attributes;
      if (!XGetWindowAttributes(display_, children[i], &attributes) ||
          attributes.map_state != IsViewable) {
        continue;
      }
      shown.push_back({children[i], Title(children[i]), attributes.x, attributes.y,
                       attributes.width, attributes.height});
    }
    if (children != nullptr) XFree(children);
    return shown;
  }

  std::optional<TopWindow> Find(const std::string& title) const {
    for (const TopWindow& window : Shown()) {
      if (window.title == title) return window;
    }
    return std::nullopt;
  }

  std::optional<TopWindow> WaitFor(const std::string& title, std::chrono::milliseconds timeout) {
    std::optional<TopWindow> window;
    WaitUntil([&] { return (window = Find(title)).has_value(); }, timeout, 20ms);
    return window;
  }

  bool WaitUntilGone(const std::string& title, std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return !Find(title); }, timeout, 20ms);
  }

  // What a window manager sends when the user closes the window.
  void Close(const TopWindow& window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window.id;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window.id, False, NoEventMask, &event);
    XSync(display_, False);
  }

  // Gives `window` the keyboard and types `key` (an X key name) on the keyboard.
  bool Type(const TopWindow& window, const std::string& key) {
    XSetInputFocus(display_, window.id, RevertToParent, CurrentTime);
    XSync(display_, False);
    return Run("DISPLAY=" + name_ + " xdotool key " + key) == 0;
  }

  // The whole screen through ImageMagick's import, saved as `file`.
  QImage Screenshot(const std::string& file) const {
    if (Run("import -display " + name_ + " -window root '" + file + "'") != 0) return {};
    QImage image(QString::fromStdString(file));
    return image.isNull() ? image : image.convertToFormat(QImage::Format_RGB32);
  }

  static int Run(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  std::string Title(Window window) const {
    const Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
    const Atom net_name = XInternAtom(display_, "_NET_WM_NAME", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display_, window, net_name, 0, 1024, False, utf8, &type, &format, &items,
                           &after, &data) == Success &&
        data != nullptr && type == utf8) {
      title.assign(reinterpret_cast<const char*>(data), items);
    }
    if (data != nullptr) XFree(data);
    if (title.empty()) {
      char* name = nullptr;
      if (XFetchName(display_, window, &name) && name != nullptr) title = name;
      if (name != nullptr) XFree(name);
    }
    return title;
  }

  Child xvfb_;
  std::string name_;
  Display* display_ = nullptr;
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"Xvfb", "import", "xdotool", "pulseaudio", "pacat", "pactl"}) {
      if (!Installed(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    char pattern[] = "/tmp/qv-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    ASSERT_TRUE(x_.Start(folder_ + "/xvfb.log")) << ReadText(folder_ + "/xvfb.log");
    std::filesystem::create_directories(QUORVANE_E2E_SHOTS);
  }

  void TearDown() override {
    player_.reset();  // before its server, as when they were the test's own
    server_.reset();
    if (folder_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  // A private sound server playing a tone on `bin` (whole cycles per 8192 samples). 80 blocks
  // (30 s): the player does not restart (with a gap) while a case runs.
  void StartTone(int bin) {
    server_.emplace(testing::PulseServer::Private());
    ASSERT_TRUE(server_->ok());
    server_->UseFromThisProcess();
    player_.emplace(server_->dir(), testing::Tone(bin, 0.5, 80));
    ASSERT_TRUE(player_->running());
  }

  // Starts the analyser on that server and waits for its window to show a trace.
  void StartUntilTrace(Child& analyser, std::optional<TopWindow>& window) {
    ASSERT_TRUE(StartAnalyser(analyser, server_->Environment()));
    window = x_.WaitFor(kCaption, 30s);
    ASSERT_TRUE(window) << LogText();
    const std::string shot = Shot("");
    QImage plot;
    ASSERT_TRUE(WaitForPlot(*window, HasTrace, 30s, shot, plot)) << "no trace; see " << shot;
  }

  bool StartAnalyser(Child& analyser, std::map<std::string, std::string> environment) {
    environment["DISPLAY"] = x_.name();
    environment["QT_QPA_PLATFORM"] = "xcb";
    environment["XAUTHORITY"] = "";
    environment["WAYLAND_DISPLAY"] = "";
    return analyser.Start({QUORVANE_SPECTRUM}, environment, Log());
  }

  std::string Log() const { return folder_ + "/analyser.log"; }
  std::string LogText() const { return "analyser's output:\n" + ReadText(Log()); }

  // A screenshot kept under the build folder for a person to look at, named after the test.
  std::string Shot(const std::string& suffix) const {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    return std::string(QUORVANE_E2E_SHOTS) + "/" + name + suffix + ".png";
  }

  // What Picture1 of `window` shows on the screen now.
  QImage Plot(const TopWindow& window, const std::string& file) const {
    const QImage screen = x_.Screenshot(file);
    if (screen.isNull()) return screen;
    return screen.copy(window.x + kPlotLeft, window.y, kPlotWidth, kPlotHeight);
  }

  // Screenshots until the plot satisfies `done` or `timeout` passes; the last one in `plot`.
  bool WaitForPlot(const TopWindow& window, const std::function<bool(const QImage&)>& done,
                   std::chrono::milliseconds timeout, const std::string& file, QImage& plot) {
    return WaitUntil(
        [&] {
          plot = Plot(window, file);
          return !plot.isNull() && done(plot);
        },
        timeout, 100ms);
  }

  static bool HasTrace(const QImage& plot) { return !PixelsOf(plot, kYellow).empty(); }

  std::string folder_;
  XServer x_;
  std::optional<testing::PulseServer> server_;
  std::optional<testing::Player> player_;
};

struct ToneCase {
  const char* name;
  int bin;  // whole cycles per 8192 samples: the tone lies on this one bin
  bool on_axis;
};

// Readable case names in CTest's list.
void PrintTo(const ToneCase& tone, std::ostream* out) {
  *out << tone.name;
}

class ToneOnScreen : public EndToEnd, public ::testing::WithParamInterface<ToneCase> {};

TEST_P(ToneOnScreen, TracePeaksAtTheTone) {
  const ToneCase tone = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartTone(tone.bin));
  Child analyser;
  std::optional<TopWindow> window;
  ASSERT_NO_FATAL_FAILURE(StartUntilTrace(analyser, window));
  const std::string shot = Shot("");
  QImage plot;

  // Each block adds a tenth of the new level: 14 more blocks bring a 66 dB line within 14 dB
  // of it.
  std::this_thread::sleep_for(14 * kBlock);
  const int column = PlotColumn(PlotX(BinHz(tone.bin)));
  if (tone.on_axis) {
    const int row45 = PlotRow(PlotY(45));
    ASSERT_TRUE(WaitForPlot(
        *window,
        [&](const QImage& p) { return HasTrace(p) && Highest(PixelsOf(p, kYellow)).y() <= row45; },
        20s, shot, plot))
        << "the trace did not rise above 45 dB; see " << shot;
  } else {
    plot = Plot(*window, shot);
  }
  ASSERT_FALSE(plot.isNull());
  EXPECT_EQ(plot.pixel(PlotColumn(0), PlotRow(0)) & 0xFFFFFF, kGrey) << "no grid; see " << shot;
  const std::vector<QPoint> lit = PixelsOf(plot, kYellow);
  ASSERT_FALSE(lit.empty()) << shot;
  // The trace spans the whole axis.
  const auto [left, right] =
      std::minmax_element(lit.begin(), lit.end(), [](QPoint a, QPoint b) { return a.x() < b.x(); });
  EXPECT_LE(std::abs(left->x() - PlotColumn(0)), 1) << shot;
  EXPECT_LE(std::abs(right->x() - PlotColumn(1000)), 1) << shot;
  const QPoint top = Highest(lit);
  if (tone.on_axis) {
    // A bin is 1.1 Plot units, a third of a pixel: the peak's column is the tone's.
    EXPECT_LE(std::abs(top.x() - column), 1)
        << "peak at column " << top.x() << ", tone at " << column << "; see " << shot;
  } else {
    // Nothing on the axis rises out of the bottom division (10 dB and below).
    EXPECT_GE(top.y(), PlotRow(PlotY(10))) << "a peak at column " << top.x() << "; see " << shot;
  }
  EXPECT_FALSE(x_.Find(kBoxTitle)) << LogText();
  EXPECT_TRUE(analyser.Running()) << LogText();
}

INSTANTIATE_TEST_SUITE_P(Tones, ToneOnScreen,
                         ::testing::Values(ToneCase{"Below1kHz", 223, true},        // 600.2 Hz
                                           ToneCase{"Near2kHz", 743, true},         // 1999.9 Hz
                                           ToneCase{"AboveTheAxis", 1486, false}),  // 3999.9 Hz
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, WithoutASoundServerTheErrorBoxAppearsAndTheGridStaysEmpty) {
  // No server behind the socket, and no client may start one.
  std::ofstream(folder_ + "/client.conf") << "autospawn = no\n";
  Child analyser;
  ASSERT_TRUE(StartAnalyser(analyser, {{"PULSE_SERVER", "unix:" + folder_ + "/no-server"},
                                       {"PULSE_COOKIE", folder_ + "/cookie"},
                                       {"PULSE_CLIENTCONFIG", folder_ + "/client.conf"}}));
  const auto box = x_.WaitFor(kBoxTitle, 30s);
  ASSERT_TRUE(box) << LogText();
  const auto window = x_.WaitFor(kCaption, 5s);
  ASSERT_TRUE(window) << LogText();
  // Both at once in the X server's list of windows on the screen.
  std::vector<std::string> titles;
  for (const TopWindow& shown : x_.Shown()) titles.push_back(shown.title);
  EXPECT_EQ(std::count(titles.begin(), titles.end(), kBoxTitle), 1);
  EXPECT_EQ(std::count(titles.begin(), titles.end(), kCaption), 1);

  // The box carries a line of dark text on its light face.
  const std::string boxed = Shot("-box");
  const QImage screen = x_.Screenshot(boxed);
  ASSERT_FALSE(screen.isNull());
  const QImage face = screen.copy(box->x, box->y, box->width, box->height);
  int dark = 0;
  for (int r = 0; r < face.height(); ++r) {
    for (int c = 0; c < face.width(); ++c) dark += qGray(face.pixel(c, r)) < 96;
  }
  EXPECT_GT(dark, 100) << "no text in the box; see " << boxed;
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(analyser.Running()) << LogText();

  ASSERT_TRUE(x_.Type(*box, "Return"));
  ASSERT_TRUE(x_.WaitUntilGone(kBoxTitle, 10s));
  const std::string shot = Shot("");
  QImage plot;
  ASSERT_TRUE(WaitForPlot(
      *window,
      [](const QImage& p) { return (p.pixel(PlotColumn(0), PlotRow(0)) & 0xFFFFFF) == kGrey; }, 10s,
      shot, plot))
      << "no grid; see " << shot;
  // A few blocks' time later: still running, the grid still empty, no second box.
  std::this_thread::sleep_for(5 * kBlock);
  plot = Plot(*window, shot);
  ASSERT_FALSE(plot.isNull());
  for (const double at : {0.0, 500.0, 1000.0}) {
    EXPECT_EQ(plot.pixel(PlotColumn(at), PlotRow(at)) & 0xFFFFFF, kGrey) << shot;
    EXPECT_EQ(plot.pixel(PlotColumn(at), PlotRow(0)) & 0xFFFFFF, kGrey) << shot;
  }
  EXPECT_TRUE(PixelsOf(plot, kYellow).empty()) << "a trace without sound; see " << shot;
  EXPECT_FALSE(x_.Find(kBoxTitle));
  ASSERT_TRUE(analyser.Running()) << LogText();

  x_.Close(*window);
  const auto status = analyser.WaitFor(10s);
  ASSERT_TRUE(status) << "still running after the close";
  EXPECT_EQ(Describe(*status), "exit code 0") << LogText();
}

TEST_F(EndToEnd, ServerKilledWhileRunningShowsTheErrorBoxAndTheAnalyserStillAnswers) {
  ASSERT_NO_FATAL_FAILURE(StartTone(371));
  testing::PulseServer& server = *server_;
  Child analyser;
  std::optional<TopWindow> window;
  ASSERT_NO_FATAL_FAILURE(StartUntilTrace(analyser, window));

  const pid_t pid = server.Pid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  const auto killed = Clock::now();
  const auto box = x_.WaitFor(kBoxTitle, 20s);
  ASSERT_TRUE(box) << "no error box; " << LogText();
  const double to_box = MillisecondsSince(killed);
  std::cout << "error box " << to_box << " ms after kill -9\n";
  server.KillHard();  // the rest: its clock and stale pid file
  EXPECT_LE(to_box, 5000) << "the error box came late";
  x_.Screenshot(Shot("-box"));
  ASSERT_TRUE(analyser.Running()) << LogText();

  // It still answers: the box goes with Return, the window with a close.
  ASSERT_TRUE(x_.Type(*box, "Return"));
  ASSERT_TRUE(x_.WaitUntilGone(kBoxTitle, 10s)) << "the box stayed";
  std::this_thread::sleep_for(5 * kBlock);
  EXPECT_FALSE(x_.Find(kBoxTitle)) << "another box";
  ASSERT_TRUE(analyser.Running()) << LogText();
  x_.Close(*window);
  const auto closed = Clock::now();
  const auto status = analyser.WaitFor(10s);
  ASSERT_TRUE(status) << "still running 10 s after the close";
  std::cout << "ended " << MillisecondsSince(closed) << " ms after the close\n";
  EXPECT_EQ(Describe(*status), "exit code 0") << LogText();
}

TEST_F(EndToEnd, ClosingTheWindowEndsTheProcessAndReleasesTheDevice) {
  ASSERT_NO_FATAL_FAILURE(StartTone(371));
  testing::PulseServer& server = *server_;
  const auto recording_now = [&] { return Lines(server.Pactl("list short source-outputs")); };
  // The player connects a moment after it starts: its stream joins the clock's on the sink.
  WaitUntil([&] { return Lines(server.Pactl("list short sink-inputs")) >= 2; }, 10s, 20ms);
  const int before = server.Clients();
  // The server's own remapped input records from the sink's monitor, too.
  const int recording_before = recording_now();
  Child analyser;
  std::optional<TopWindow> window;
  ASSERT_NO_FATAL_FAILURE(StartUntilTrace(analyser, window));
  EXPECT_EQ(server.Clients(), before + 1) << server.Pactl("list short clients");
  // Each block opens the input afresh; between blocks it is briefly closed.
  WaitUntil([&] { return recording_now() == recording_before + 1; }, 5s, 10ms);
  EXPECT_EQ(recording_now(), recording_before + 1);

  x_.Close(*window);
  const auto closed = Clock::now();
  std::optional<double> window_gone;
  std::optional<int> status;
  while (!status && Clock::now() < closed + 10s) {
    if (!window_gone && !x_.Find(kCaption)) window_gone = MillisecondsSince(closed);
    status = analyser.WaitFor(5ms);
  }
  const double took = MillisecondsSince(closed);
  ASSERT_TRUE(status) << "still running 10 s after the close";
  std::cout << "window gone " << window_gone.value_or(took) << " ms and process ended " << took
            << " ms after the close\n";
  EXPECT_EQ(Describe(*status), "exit code 0") << LogText();
  EXPECT_LE(window_gone.value_or(took), 1000) << "the window stayed";
  EXPECT_LE(took, kExitBound.count())
      << "not within " << kExitBound.count() << " ms of the close request";

  // The server notices the closed connection at once; a little time for it all the same.
  WaitUntil([&] { return server.Clients() == before; }, 5s, 20ms);
  EXPECT_EQ(server.Clients(), before) << server.Pactl("list short clients");
  EXPECT_EQ(recording_now(), recording_before) << server.Pactl("list short source-outputs");
}

}  // namespace
}  // namespace quorvane
