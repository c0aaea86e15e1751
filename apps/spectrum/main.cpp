#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "apps/spectrum/form1.h"
#include "common/identity.h"

namespace {

const char* const kUsage = "usage: quorvane-spectrum [--help | --version]\n";

const char* const kHelp =
    "Shows the live spectrum of the sound input from 270 to 2700 Hz in a window: blocks of\n"
    "8192 samples at 22050/s, a yellow trace over a fixed grid, the peak frequency and levels.\n"
    "\n"
    "  --help      this text\n"
    "  --version   the version\n"
    "\n"
    "It records from the source PULSE_SOURCE names, else from the desktop's default input\n"
    "unless that is a monitor, else from the first input that is not a monitor.\n"
    "Over the plot, the pointer reads frequency, level and note; the right button's menu saves\n"
    "a picture (Ctrl+S) or the levels (Ctrl+Shift+S), switches to 20 Hz-11 kHz in octaves and\n"
    "moves the recording to another input.\n"
    "See quorvane-spectrum(1).\n";

// While the toolkit starts, its messages wait here. Without a display it would print a few
// lines and then abort the program (a core dump); one line and status 1 say the same.
struct HeldMessage {
  QtMsgType type;
  const char* category;  // Qt's categories live for the whole run
  QString text;
};
std::vector<HeldMessage> held_messages;
QtMessageHandler previous_handler = nullptr;

[[noreturn]] void NoWindow(const QString& fatal_text) {
  QString reason = held_messages.empty() ? fatal_text : held_messages.front().text;
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
    reason = "there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
  std::fprintf(stderr, "quorvane-spectrum: cannot open the window: %s\n",
               reason.section('\n', 0, 0).toLocal8Bit().constData());
  std::fflush(stderr);
  std::_Exit(1);  // from inside the toolkit's constructor: nothing to tidy up
}

void HoldStartUpMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg) NoWindow(text);
  held_messages.push_back({type, context.category, text});
}

void PassHeldMessagesOn() {
  qInstallMessageHandler(previous_handler);
  for (const HeldMessage& message : held_messages) {
    qt_message_output(message.type, QMessageLogContext(nullptr, 0, nullptr, message.category),
                      message.text);
  }
  held_messages.clear();
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before the toolkit starts, so they work on a console without a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("quorvane-spectrum %s\n", quorvane::kVersion);
      return 0;
    }
  }

  previous_handler = qInstallMessageHandler(HoldStartUpMessages);
  QApplication application(argc, argv);
  PassHeldMessagesOn();
  // The toolkit has taken its own options (-platform, -display, ...); anything left is a mistake.
  if (argc > 1) {
    std::fprintf(stderr, "quorvane-spectrum: unknown argument '%s'\n%s", argv[1], kUsage);
    return 2;
  }
  // Also ties the window to the menu entry and the catalogue entry of the same name.
  quorvane::SetApplicationTitle();
  quorvane::Form1 form;
  form.show();
  return application.exec();
}
