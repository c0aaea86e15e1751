// The installed analyser as a person meets it: its own process on a private X server (Xvfb),
// screenshots by ImageMagick's `import`, a key typed by xdotool, and the window closed the way
// a window manager closes it (WM_DELETE_WINDOW).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/capture/sound_server.h"
#include "tests/window/plot_geometry.h"

// Last: Xlib's macros (None, Bool, Status, ...) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quorvane {
namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
  for (const auto end = std::chrono::steady_clock::now() + timeout;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(50ms);
  }
}

// A child that dies with the test, whatever ends it, and is killed by the destructor.
struct Child {
  pid_t pid = -1;
  int status = -1;
  Child(std::vector<std::string> argv, const std::vector<std::string>& environment, int fd3 = -1) {
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    const pid_t parent = getpid();
    if ((pid = fork()) != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    for (const std::string& line : environment) putenv(const_cast<char*>(line.c_str()));
    if (fd3 >= 0) dup2(fd3, 3);
    execvp(args[0], args.data());
    _exit(127);
  }
  ~Child() {
    if (Running()) kill(pid, SIGKILL);
    if (Running()) waitpid(pid, &status, 0);
  }
  bool Running() { return pid > 0 && status == -1 && waitpid(pid, &status, WNOHANG) == 0; }
};

// Xvfb on a display it picks itself, so tests in parallel never race for one; no window
// manager, so a top-level window's client area is where the window is.
struct Screen {
  std::string name;
  Display* display = nullptr;
  std::unique_ptr<Child> xvfb;
  Screen() {
    int ready[2];
    if (pipe(ready) != 0) return;
    xvfb = std::make_unique<Child>(std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen",
                                                            "0", "800x600x24", "-nolisten", "tcp"},
                                   std::vector<std::string>{}, ready[1]);
    close(ready[1]);
    char number[16] = {};
    if (read(ready[0], number, sizeof number - 1) > 0)
      name = ":" + std::to_string(std::atoi(number));
    close(ready[0]);
    if (!name.empty()) display = XOpenDisplay(name.c_str());
  }
  ~Screen() {
    if (display != nullptr) XCloseDisplay(display);
    if (xvfb && xvfb->Running()) kill(xvfb->pid, SIGTERM);  // it removes its lock and socket
    if (xvfb) WaitUntil([&] { return !xvfb->Running(); }, 5s);
  }
  // The mapped top-level windows titled `title`.
  std::vector<XWindowAttributes> Windows(const std::string& title, Window* last = nullptr) {
    std::vector<XWindowAttributes> found;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count; ++i) {
      XWindowAttributes attributes;
      char* name = nullptr;
      if (XGetWindowAttributes(display, children[i], &attributes) &&
          attributes.map_state == IsViewable && XFetchName(display, children[i], &name) &&
          name != nullptr && title == name) {
        found.push_back(attributes);
        if (last != nullptr) *last = children[i];
      }
      if (name != nullptr) XFree(name);
    }
    if (children != nullptr) XFree(children);
    return found;
  }
  void CloseWindow(Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
  }
  QImage Shot(const std::string& file) {
    const std::string command = "import -display " + name + " -window root '" + file + "'";
    return std::system(command.c_str()) == 0
               ? QImage(QString::fromStdString(file)).convertToFormat(QImage::Format_RGB32)
               : QImage();
  }
};

// With no sound server at first: one window, one box; once a server plays a tone, its peak at
// its column; closing the window ends the process and gives the input back.
TEST(EndToEnd, NoServerThenAToneThenClosing) {
  QUORVANE_REQUIRE({"Xvfb", "import", "xdotool", "pulseaudio", "pactl", "pacat"});
  Screen screen;
  ASSERT_NE(screen.display, nullptr) << "Xvfb did not start";
  testing::SoundServer server("pulseaudio", false);
  std::vector<std::string> environment{"DISPLAY=" + screen.name, "QT_QPA_PLATFORM=xcb",
                                       "WAYLAND_DISPLAY="};
  for (const auto& [key, value] : server.Environment()) environment.push_back(key + "=" + value);
  Child analyser({QUORVANE_SPECTRUM}, environment);
  ASSERT_TRUE(WaitUntil([&] { return !screen.Windows("Tessavox").empty(); }, 30s)) << "no box";
  EXPECT_EQ(screen.Windows("Quorvane Spectrum").size(), 1u);
  std::filesystem::create_directories(QUORVANE_E2E_SHOTS);
  screen.Shot(QUORVANE_E2E_SHOTS "/box.png");
  std::this_thread::sleep_for(2500ms);  // a retry fails meanwhile, without a box of its own
  Window box = 0;
  EXPECT_EQ(screen.Windows("Tessavox", &box).size(), 1u);
  XSetInputFocus(screen.display, box, RevertToParent, CurrentTime);
  XSync(screen.display, False);
  ASSERT_EQ(std::system(("DISPLAY=" + screen.name + " xdotool key Return").c_str()), 0);
  ASSERT_TRUE(WaitUntil([&] { return screen.Windows("Tessavox").empty(); }, 10s));

  ASSERT_TRUE(server.Tool("start"));
  testing::Player player(server, testing::Tone(743, 0.5, 80));  // 1999.9 Hz
  Window window = 0;
  const XWindowAttributes at = screen.Windows("Quorvane Spectrum", &window).at(0);
  const std::string shot = QUORVANE_E2E_SHOTS "/tone.png";
  const int column = test::PlotColumn(test::PlotX(743 * 22050.0 / 8192));
  QPoint top;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const auto lit =
            test::PixelsOf(screen.Shot(shot).copy(at.x + 64, at.y, 321, 297), 0xFFFFFF00);
        return !lit.empty() && (top = test::Highest(lit)).y() < test::PlotRow(500) &&
               std::abs(top.x() - column) <= 1;
      },
      30s))
      << "peak at (" << top.x() << ", " << top.y() << "), tone at column " << column << "; see "
      << shot;
  EXPECT_TRUE(screen.Windows("Tessavox").empty());
  const auto recording = [&] {
    const std::string outputs = server.Pactl("list short source-outputs");
    return std::count(outputs.begin(), outputs.end(), '\n');
  };
  const int clients = server.Clients();
  const auto recording_before = recording();

  screen.CloseWindow(window);
  ASSERT_TRUE(WaitUntil([&] { return !analyser.Running(); }, 10s)) << "still running";
  EXPECT_TRUE(WIFEXITED(analyser.status) && WEXITSTATUS(analyser.status) == 0) << analyser.status;
  EXPECT_TRUE(WaitUntil([&] { return server.Clients() == clients - 1; }, 5s));
  EXPECT_EQ(recording(), recording_before - 1);
}

}  // namespace
}  // namespace quorvane
