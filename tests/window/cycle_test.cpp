#include <gtest/gtest.h>

#include <QMessageBox>
#include <QTimer>
#include <cstdlib>

#include "common/text.h"
#include "dsp/frame.h"
#include "dsp/levels.h"
#include "tests/window/window_test_support.h"

namespace quorvane {
namespace {

using test::kYellow;
using test::PixelsOf;
using test::PlotColumn;
using test::PlotRow;
using test::ProcessEvents;
using test::RecordedForm;
using test::Shown;

// Bin 372 lies at 1001.29 Hz; the readout counts it as 372 * 2 * 1.344855 = 1000.57 -> 1001.
constexpr double kToneHz = 372 * 22050.0 / 8192;

TEST(AcquisitionCycle, FromSamplesToReadoutsAndTraceOnlyWhenTheBufferIsDone) {
  const auto samples = test::Tone(kToneHz, 0.5, 8192 * 3);
  UseMemoryWaveInput(samples, MemoryInputEnd::Wait);  // three blocks, then a buffer that waits
  RecordedForm window;
  window.form->show();
  ASSERT_TRUE(test::ProcessEventsUntil([] { return MemoryWaveInputPosition() == 8192 * 3; }));
  ProcessEvents();
  const HWAVEIN device = window.capture().hWaveIn;
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(window.analyser().Timer1_Timer());
  EXPECT_EQ(window.capture().hWaveIn, device);
  EXPECT_TRUE(window.boxes.empty());

  // The same three blocks through the analysis routines alone.
  auto expected = std::make_unique<AnalyserState>();
  float figure = 0, noise = 0;
  Integer peak = 0;
  double last = 0;
  for (int block = 0; block < 3; ++block) {
    LoadFrame(
        8192, [&](Long i, double& out) { out = samples[block * 8192 + i] / 32768.0; }, last,
        expected->dblReal, expected->dblImag);
    LevelPass(8192, expected->dblReal, expected->dblImag, expected->dblLevel, figure, peak, noise);
  }
  for (int bin = 0; bin <= 4096; ++bin) {
    ASSERT_EQ(window.state().dblLevel[bin], expected->dblLevel[bin]) << bin;
  }
  EXPECT_EQ(window.form->lblFreq->text(), "1001 Hz");
  EXPECT_EQ(window.form->lblMax->text().toStdString(),
            NumberText(static_cast<float>(std::floor(figure))) + " dB anl");
  EXPECT_EQ(window.form->Label4->text().toStdString(),
            NumberText(static_cast<float>(std::floor(noise))));
  // The trace's highest point is the tone's bin: three blocks of a 66.2 dB line give
  // 66.2 * (1 - 0.9^3) = 17.9 dB, y = (80 - 17.9) / 10 * 125 = 776.
  const double level = window.state().dblLevel[372];
  EXPECT_NEAR(level, 20 * std::log10(0.5 * 32767 / 32768 * 4096) * (1 - 0.729), 0.05);
  EXPECT_EQ(test::Highest(PixelsOf(Shown(*window.form), kYellow)),
            QPoint(PlotColumn(test::PlotX(kToneHz)), PlotRow((80 - level) / 10 * 125)));
}

// Silence is -140 dB in every bin; smoothed from 0: -14 after one block, -26.6 after two. No
// level is above 0 dB, so the figure is -|noise|, the peak keeps its 0 Hz, the trace lies on
// the bottom line. A pure tone leaves the noise bin near -140 dB as well.
TEST(AcquisitionCycle, RestartsTheCaptureEachBlockAndQuietInputKeepsUpdating) {
  const struct {
    double hz;
    int blocks;
    const char *noise, *signal, *peak;
  } cases[] = {{0, 1, "-14", "-14 dB anl", "0 Hz"},
               {0, 2, "-27", "-27 dB anl", "0 Hz"},
               {kToneHz, 5, "-58", nullptr, "1001 Hz"}};
  for (const auto& c : cases) {
    UseMemoryWaveInput(test::Tone(c.hz, c.hz ? 0.5 : 0, 8192), MemoryInputEnd::Loop);
    RecordedForm window;
    window.analyser().StartUp();  // without showing the window: only the test drives the cycle
    for (int block = 0; block < c.blocks; ++block) {
      ASSERT_TRUE(window.analyser().Timer1_Timer()) << block;
      EXPECT_TRUE(window.capture().blnRecording);  // a fresh buffer, already full again
      EXPECT_TRUE(CaptureBufferDone(window.capture()));
    }
    Form1& form = *window.form;
    EXPECT_EQ(form.Label4->text(), c.noise);
    if (c.signal) {
      EXPECT_EQ(form.lblMax->text(), c.signal);
    }
    EXPECT_EQ(form.lblFreq->text(), c.peak);
    EXPECT_EQ(form.lblMaxHold->text(), "0");  // negative figures never replace the hold
    if (c.hz) continue;
    const auto lit = PixelsOf(Shown(form), kYellow);
    ASSERT_FALSE(lit.empty());
    for (const QPoint& p : lit) ASSERT_EQ(p.y(), PlotRow(1000));
  }
}

TEST(NoSoundInput, ShowsTheErrorOnceInARealBoxAndKeepsTheEmptyGrid) {
  ::setenv("PULSE_SERVER", "unix:/nonexistent/quorvane-no-server", 1);
  UsePulseWaveInput({.keep_connection_ms = 0});
  auto form = std::make_unique<Form1>();  // the real message box
  int boxes = 0;
  QString title, text;
  QTimer watcher;  // closes each box with OK, noting what it showed
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (!box || !box->isVisible()) continue;
      ++boxes;
      title = box->windowTitle();
      text = box->text();
      EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
      EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
      EXPECT_TRUE(box->isModal());
      box->button(QMessageBox::Ok)->click();
    }
  });
  watcher.start(10);
  form->show();
  ASSERT_TRUE(test::ProcessEventsUntil([&] { return boxes > 0; }));
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(form->analyser().Timer1_Timer());
  QEvent activate(QEvent::WindowActivate);
  QApplication::sendEvent(form.get(), &activate);
  ProcessEvents(200);
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(title, "Tessavox");
  const CaptureState& capture = form->analyser().Capture();
  EXPECT_FALSE(capture.blnRecording);
  EXPECT_NE(capture.lngWaveResult, 0);
  EXPECT_FALSE(text.trimmed().isEmpty());
  EXPECT_EQ(QString::fromStdString(capture.strWaveError).trimmed(), text);
  // The rest of start-up ran: captions, grid, timer.
  EXPECT_EQ(form->lblReflvl->text(), "Ref: 30 dB");
  EXPECT_EQ(form->lblFreq->text(), "0 Hz");
  EXPECT_TRUE(form->Timer1->isActive());
  EXPECT_TRUE(PixelsOf(Shown(*form), kYellow).empty());
  EXPECT_EQ(Shown(*form).pixel(PlotColumn(0), PlotRow(0)), test::kGrey);
  ::unsetenv("PULSE_SERVER");
}

TEST(Closing, WhileRecordingReleasesTheDeviceAndTheBuffer) {
  UseMemoryWaveInput({}, MemoryInputEnd::Wait);
  RecordedForm window;
  window.ShowAndStart();
  CaptureState& capture = window.capture();
  const HWAVEIN device = capture.hWaveIn;
  const HGLOBAL buffer = capture.hBuffer;
  EXPECT_TRUE(window.form->close());
  EXPECT_FALSE(capture.blnRecording);
  // Both handles are dead, and the one device is free for the next program.
  EXPECT_EQ(waveInClose(device), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(GlobalFree(buffer), buffer);
  HWAVEIN again = nullptr;
  ASSERT_EQ(waveInOpen(&again, 0, &capture.wfx, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(again), MMSYSERR_NOERROR);
}

}  // namespace
}  // namespace quorvane
