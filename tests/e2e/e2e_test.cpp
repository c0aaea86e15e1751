// The installed analyser as a person meets it: its own process on a private X server (Xvfb),
// screenshots by ImageMagick's `import`, a key typed by xdotool, and the window closed the way
// a window manager closes it (WM_DELETE_WINDOW).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "tests/capture/sound_server.h"
#include "tests/window/plot_geometry.h"

// Last: Xlib's macros (None, Bool, Status, ...) would clash with the headers above.
#include <X11/Xlib.h>

namespace quorvane {
namespace {

using namespace std::chrono_literals;

// A process that dies with the test, whatever ends it, or with the object; `fd3` becomes its
// descriptor 3.
struct Child {
  Child(std::vector<std::string> argv, const std::vector<std::string>& environment, int fd3 = -1) {
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    const pid_t parent = getpid();
    if ((pid = fork()) != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    for (const std::string& line : environment) putenv(strdup(line.c_str()));
    if (fd3 >= 0) dup2(fd3, 3);
    execvp(args[0], args.data());
    _exit(127);
  }
  ~Child() {
    if (Running()) kill(pid, SIGKILL);
    if (Running()) waitpid(pid, &status, 0);
  }
  bool Running() { return pid > 0 && status == -1 && waitpid(pid, &status, WNOHANG) == 0; }
  pid_t pid = -1;
  int status = -1;
};

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
  return done();
}

// With no sound server at first: one window, one box, then a tone's peak at its column once a
// server plays it; closing the window ends the process and gives the input back.
TEST(EndToEnd, FromNoServerToAToneToClosing) {
  QUORVANE_REQUIRE({"Xvfb", "import", "xdotool", "pulseaudio", "pactl", "pacat"});
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  // Xvfb picks a free display itself, so tests in parallel never race for one.
  Child xvfb({"Xvfb", "-displayfd", "3", "-screen", "0", "800x600x24", "-nolisten", "tcp"}, {},
             ready[1]);
  close(ready[1]);
  char number[16] = {};
  ASSERT_GT(read(ready[0], number, sizeof number - 1), 0) << "Xvfb did not start";
  const std::string screen = ":" + std::to_string(std::atoi(number));
  testing::SoundServer server("pulseaudio", false);
  std::vector<std::string> environment = server.Environment();
  environment.insert(environment.end(),
                     {"DISPLAY=" + screen, "QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY="});
  Child analyser({QUORVANE_SPECTRUM}, environment);
  // No window manager: a top-level window sits where its client area is.
  const auto xdotool = [&](const std::string& arguments) {
    return testing::Run("DISPLAY=" + screen + " xdotool " + arguments + " 2>/dev/null");
  };
  const auto windows = [&](const std::string& title) {
    const std::string ids = xdotool("search --onlyvisible --name '^" + title + "$'");
    return std::count(ids.begin(), ids.end(), '\n');
  };
  const auto shot = [&](const char* name) {
    const std::string file = std::string(QUORVANE_E2E_SHOTS) + "/" + name + ".png";
    std::filesystem::create_directories(QUORVANE_E2E_SHOTS);
    std::system(("import -display " + screen + " -window root " + file).c_str());
    return QImage(QString::fromStdString(file)).convertToFormat(QImage::Format_RGB32);
  };

  ASSERT_TRUE(WaitUntil([&] { return windows("Tessavox") > 0; }, 30s)) << "no box";
  EXPECT_EQ(windows("Quorvane Spectrum"), 1);
  shot("box");
  xdotool("search --onlyvisible --name '^Tessavox$' windowfocus --sync key Return");
  ASSERT_TRUE(WaitUntil([&] { return windows("Tessavox") == 0; }, 10s));

  ASSERT_FALSE(server.Tool("start").empty());
  testing::Player player(server, testing::Tone(743, 0.5, 80));  // 1999.9 Hz
  const Window window = std::stoul(xdotool("search --onlyvisible --name '^Quorvane Spectrum$'"));
  std::istringstream geometry(xdotool("getwindowgeometry --shell " + std::to_string(window)));
  int x = 0, y = 0;
  for (std::string line; std::getline(geometry, line);) {
    if (line.rfind("X=", 0) == 0) x = std::stoi(line.substr(2));
    if (line.rfind("Y=", 0) == 0) y = std::stoi(line.substr(2));
  }
  const int column = test::PlotColumn(test::PlotX(743 * 22050.0 / 8192));
  QPoint top;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const auto lit = test::PixelsOf(shot("tone").copy(x + 64, y, 321, 297), 0xFFFFFF00);
        return !lit.empty() && (top = test::Highest(lit)).y() < test::PlotRow(500) &&
               std::abs(top.x() - column) <= 1;
      },
      30s))
      << "peak at (" << top.x() << ", " << top.y() << "), tone at column " << column;
  EXPECT_EQ(windows("Tessavox"), 0);
  const auto recording = [&] { return server.Tool("pactl", "list short source-outputs"); };
  const auto clients = [&] { return std::atoi(server.Tool("clients").c_str()); };
  const int clients_before = clients();
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
  ASSERT_TRUE(WaitUntil([&] { return !analyser.Running(); }, 10s)) << "still running";
  EXPECT_TRUE(WIFEXITED(analyser.status) && WEXITSTATUS(analyser.status) == 0) << analyser.status;
  EXPECT_TRUE(WaitUntil([&] { return clients() + 1 == clients_before; }, 5s));
  EXPECT_LT(recording().size(), streams);
  kill(xvfb.pid, SIGTERM);  // it removes its lock and socket; a killed one would not
  WaitUntil([&] { return !xvfb.Running(); }, 5s);
}

}  // namespace
}  // namespace quorvane
