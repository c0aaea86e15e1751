// The analyser as a person sees it: a real X server (Xvfb), a private sound server playing a
// 1 kHz tone, the window on the xcb platform, and a screenshot taken by ImageMagick's
// `import`. Skipped when Xvfb, import or the sound server's tools are not installed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <cstdlib>
#include <optional>

#include "common/text.h"
#include "tests/capture/pulse_server.h"
#include "tests/window/window_test_support.h"

namespace quorvane {
namespace {

using test::kGrey;
using test::kYellow;
using test::PlotColumn;
using test::PlotRow;
using test::PlotX;
using test::ProcessEvents;
using test::ProcessEventsUntil;

bool Installed(const char* program) {
  return !QStandardPaths::findExecutable(QString::fromUtf8(program)).isEmpty();
}

// The display the X server of this run listens on, when there is one.
std::optional<int> g_display;

// Starts Xvfb on a display nobody uses; returns its process id.
pid_t StartXvfb(int& display) {
  for (display = 100 + getpid() % 300; display < 1000; ++display) {
    const QString lock = QStringLiteral("/tmp/.X%1-lock").arg(display);
    const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(display);
    if (!QFileInfo::exists(lock) && !QFileInfo::exists(socket)) break;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string name = ":" + std::to_string(display);
    execlp("Xvfb", "Xvfb", name.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(display);
  for (int i = 0; i < 200 && !QFileInfo::exists(socket); ++i) usleep(50'000);
  return QFileInfo::exists(socket) ? pid : -1;
}

TEST(Screen, ToneShowsAsTheTracePeakAndTheReadout) {
  if (!g_display) GTEST_SKIP() << "Xvfb or import is not installed";
  if (!Installed("pulseaudio") || !Installed("pacat")) {
    GTEST_SKIP() << "pulseaudio or pulseaudio-utils is not installed";
  }
  testing::PulseServer server = testing::PulseServer::Private();
  ASSERT_TRUE(server.ok());
  server.UseFromThisProcess();
  UsePulseWaveInput();
  testing::Player player(server.dir(), test::Tone(1000, 0.5, 22050 * 20));
  ASSERT_TRUE(player.running());

  std::vector<std::string> boxes;
  Form1 form([&boxes](const std::string& text) { boxes.push_back(text); });
  form.show();
  // The tone falls between bins 371 and 372 (998.6 and 1001.3 Hz). About ten blocks of
  // 0.37 s bring their smoothed level above 40 dB, well clear of the leakage around them.
  const AnalyserState& state = form.analyser().State();
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return std::max(state.dblLevel[371], state.dblLevel[372]) > 40 || !boxes.empty(); },
      30000));
  ASSERT_TRUE(boxes.empty()) << boxes.front();
  ProcessEvents(200);

  const QString shot = QDir(QString::fromStdString(server.dir())).filePath("screen.png");
  QProcess import;
  import.start("import",
               {"-display", QStringLiteral(":%1").arg(*g_display), "-window", "root", shot});
  ASSERT_TRUE(import.waitForFinished(20000));
  ASSERT_EQ(import.exitCode(), 0) << import.readAllStandardError().toStdString();
  QImage screen(shot);
  ASSERT_FALSE(screen.isNull());
  screen = screen.convertToFormat(QImage::Format_RGB32);
  // Keep a copy for a person to look at when the test fails.
  const QString kept = QDir::temp().filePath("quorvane-screen-test.png");
  QFile::remove(kept);
  QFile::copy(shot, kept);

  const QPoint origin = form.Picture1->mapToGlobal(QPoint(0, 0));
  const QImage plot = screen.copy(QRect(origin, QSize(321, 297)));
  ASSERT_EQ(plot.pixel(PlotColumn(0), PlotRow(0)), kGrey) << "no grid where the plot should be";
  ASSERT_EQ(plot.pixel(PlotColumn(1000), PlotRow(0)), kGrey);
  const auto lit = test::PixelsOf(plot, kYellow);
  ASSERT_FALSE(lit.empty()) << "no trace on the screen; see " << kept.toStdString();
  const QPoint top = test::Highest(lit);
  // One bin is 2.69 Hz, 1.1 Plot units, a third of a pixel: the peak's column is the tone's.
  EXPECT_LE(std::abs(top.x() - PlotColumn(PlotX(1000))), 1) << "see " << kept.toStdString();
  const double readout = Val(form.lblFreq->text().toStdString());
  EXPECT_LE(std::abs(readout - 1000), 22050.0 / 8192) << form.lblFreq->text().toStdString();
  EXPECT_EQ(form.lblFreq->text().toStdString(), NumberText(static_cast<float>(readout)) + " Hz");

  form.close();
  EXPECT_FALSE(form.analyser().Capture().blnRecording);
}

}  // namespace
}  // namespace quorvane

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

  pid_t xvfb = -1;
  int display = 0;
  if (quorvane::Installed("Xvfb") && quorvane::Installed("import")) {
    xvfb = quorvane::StartXvfb(display);
  }
  if (xvfb > 0) {
    quorvane::g_display = display;
    qputenv("DISPLAY", QByteArray(":") + QByteArray::number(display));
    qputenv("QT_QPA_PLATFORM", "xcb");
  } else {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  int result = 0;
  {
    QApplication application(argc, argv);
    quorvane::SetApplicationTitle();
    result = RUN_ALL_TESTS();
  }
  if (xvfb > 0) {
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
  }
  return result;
}
