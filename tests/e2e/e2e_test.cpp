// The installed analyser as a person meets it: its own process on a private X server (Xvfb),
// screenshots by ImageMagick's `import`, a key typed by xdotool, and the window closed the way
// a window manager closes it (WM_DELETE_WINDOW).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "tests/apps/spectrum/plot_geometry.h"
#include "tests/core/capture/sound_server.h"

// Last: Xlib's macros (None, Bool, Status, ...) would clash with the headers above.
#include <X11/Xlib.h>

namespace quorvane {
namespace {

using namespace std::chrono_literals;

// A process, with this one's environment and `environment`, that dies with the test whatever
// ends it, or is ended (TERM) and waited for with the object.
struct Child {
  explicit Child(std::vector<std::string> argv, const std::vector<std::string>& environment = {}) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    const pid_t parent = getpid();
    if ((pid = fork()) != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    for (const std::string& line : environment) putenv(strdup(line.c_str()));
    execvp(args[0], args.data());
    _exit(127);
  }
  ~Child() {
    // Xvfb removes its lock and socket; a killed one would not.
    if (Running() && kill(pid, SIGTERM) == 0) waitpid(pid, &status, 0);
  }
  bool Running() { return pid > 0 && status == -1 && waitpid(pid, &status, WNOHANG) == 0; }
  pid_t pid = -1;
  int status = -1;
};

// With no sound server at first: one window and one box, which nobody clicks. Once a server
// plays a tone, its peak comes up at its column behind the box, and the box goes by itself;
// closing the window ends the process and gives the input back.
TEST(EndToEnd, FromNoServerToAToneToClosing) {
  testing::SoundServer server("pulseaudio", false);
  QUORVANE_REQUIRE(server.Missing("Xvfb import xdotool"));
  // Xvfb picks a free display itself, so tests in parallel never race for one, and names it.
  // It never resets: a reset, when its last client leaves (each xdotool call below), drops a
  // client that is still connecting, such as the analyser starting meanwhile.
  const std::string named = server.dir + "/display";
  Child xvfb({"sh", "-c",
              "exec Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>" + named});
  std::string screen;
  // No window manager: a top-level window sits where its client area is.
  const auto xdotool = [&](const std::string& arguments) {
    return testing::Run("DISPLAY=" + screen + " xdotool " + arguments + " 2>/dev/null");
  };
  // The analyser starts once a client gets through: a display being named is not yet one
  // that answers.
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        const std::string number = testing::Run("cat " + named);
        screen = ":" + (number.empty() ? "none" : std::to_string(std::stoi(number)));
        return !xdotool("getdisplaygeometry").empty();
      },
      10s))
      << "Xvfb does not answer";
  server.UseFromThisProcess();
  Child analyser({QUORVANE_SPECTRUM},
                 {"DISPLAY=" + screen, "QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY="});
  const auto windows = [&](const std::string& title) {
    return std::ranges::count(xdotool("search --onlyvisible --name '^" + title + "$'"), '\n');
  };
  const auto shot = [&](const char* name) {
    const std::string file = std::string(QUORVANE_E2E_SHOTS) + "/" + name + ".png";
    std::filesystem::create_directories(QUORVANE_E2E_SHOTS);
    std::system(("import -display " + screen + " -window root " + file).c_str());
    return QImage(QString::fromStdString(file)).convertToFormat(QImage::Format_RGB32);
  };

  ASSERT_TRUE(testing::WaitFor([&] { return windows("Tessavox") > 0; }, 30s)) << "no box";
  EXPECT_EQ(windows("Quorvane Spectrum"), 1);
  shot("box");

  ASSERT_FALSE(server.Tool("start").empty());
  testing::Player player(server, 743, 0.5, 80);  // 1999.9 Hz
  const Window window = std::stoul(xdotool("search --onlyvisible --name '^Quorvane Spectrum$'"));
  int x = 0, y = 0;
  const std::string geometry = xdotool("getwindowgeometry --shell " + std::to_string(window));
  ASSERT_EQ(std::sscanf(geometry.c_str(), "WINDOW=%*d X=%d Y=%d", &x, &y), 2) << geometry;
  const int column = test::PlotColumn(test::PlotX(743 * 22050.0 / 8192));
  QPoint top;
  EXPECT_TRUE(testing::WaitFor(
      [&] {
        const auto lit = test::PixelsOf(shot("tone").copy(x + 64, y, 321, 297), 0xFFFFFF00);
        return !lit.empty() && (top = test::Highest(lit)).y() < test::PlotRow(500) &&
               std::abs(top.x() - column) <= 1;
      },
      30s))
      << "peak at (" << top.x() << ", " << top.y() << "), tone at column " << column;
  EXPECT_TRUE(testing::WaitFor([&] { return windows("Tessavox") == 0; }, 10s)) << "box stays";
  const auto recording = [&] { return server.Tool("pactl list short source-outputs"); };
  const int clients_before = server.Clients();
  const std::size_t streams = recording().size();

  Display* display = XOpenDisplay(screen.c_str());
  ASSERT_NE(display, nullptr);
  XEvent close{};
  close.xclient.type = ClientMessage;
  close.xclient.window = window;
  close.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  close.xclient.format = 32;
  close.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  XSendEvent(display, window, False, NoEventMask, &close);
  XCloseDisplay(display);
  ASSERT_TRUE(testing::WaitFor([&] { return !analyser.Running(); }, 10s)) << "still running";
  EXPECT_TRUE(WIFEXITED(analyser.status) && WEXITSTATUS(analyser.status) == 0) << analyser.status;
  EXPECT_TRUE(testing::WaitFor([&] { return server.Clients() + 1 == clients_before; }, 5s));
  EXPECT_LT(recording().size(), streams);
}

}  // namespace
}  // namespace quorvane
