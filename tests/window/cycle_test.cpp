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
using test::ProcessEventsUntil;
using test::RecordedForm;
using test::Shown;
using test::Tone;

// Bin 372 lies at 372 * 22050 / 8192 = 1001.29 Hz; the readout counts it as
// 372 * 2 * 1.344855 = 1000.57 -> 1001 Hz.
constexpr double kToneHz = 372 * 22050.0 / 8192;

// ---- Whole cycles through the memory driver -----------------------------------------------

TEST(AcquisitionCycle, DoesNothingUntilTheBufferIsDone) {
  UseMemoryWaveInput({}, MemoryInputEnd::Wait);  // opens, never completes
  RecordedForm window;
  window.ShowAndStart();
  ASSERT_TRUE(window.capture().blnRecording);
  const HWAVEIN device = window.capture().hWaveIn;
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(window.analyser().Timer1_Timer());
  EXPECT_EQ(window.capture().hWaveIn, device);
  EXPECT_EQ(window.form->Label4->text(), "Label4");
}

TEST(AcquisitionCycle, FromSamplesToReadoutsAndTrace) {
  const auto samples = Tone(kToneHz, 0.5, 8192 * 3);
  UseMemoryWaveInput(samples, MemoryInputEnd::Finish);
  RecordedForm window;
  window.form->show();  // the timer runs the blocks as they become ready
  ASSERT_TRUE(ProcessEventsUntil([] { return MemoryWaveInputPosition() == 8192 * 3; }));
  ProcessEvents();
  EXPECT_TRUE(window.boxes.empty());
  EXPECT_TRUE(window.capture().blnRecording);  // the fourth block is recording (and waits)

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
  EXPECT_EQ(window.state().intPeakFreq, 1001);
  EXPECT_EQ(window.form->lblFreq->text(), "1001 Hz");
  const std::string signal = NumberText(static_cast<float>(std::floor(figure))) + " dB anl";
  EXPECT_EQ(window.form->lblMax->text().toStdString(), signal);
  EXPECT_EQ(window.form->Label4->text().toStdString(),
            NumberText(static_cast<float>(std::floor(noise))));
  EXPECT_EQ(window.state().dblSample, samples[2 * 8192 + 8191] / 32768.0);

  // The trace's highest point is the tone's bin: three blocks of a 66.2 dB line give
  // 66.2 * (1 - 0.9^3) = 17.9 dB, y = (80 - 17.9) / 10 * 125 = 776.
  const auto lit = PixelsOf(Shown(*window.form), kYellow);
  ASSERT_FALSE(lit.empty());
  const QPoint top = test::Highest(lit);
  EXPECT_EQ(top.x(), PlotColumn(test::PlotX(kToneHz)));
  const double level = window.state().dblLevel[372];
  EXPECT_NEAR(level, 20 * std::log10(0.5 * 32767 / 32768 * 4096) * (1 - 0.729), 0.05);
  EXPECT_EQ(top.y(), PlotRow((80 - level) / 10 * 125));
}

TEST(AcquisitionCycle, RestartsTheCaptureBeforeDrawing) {
  UseMemoryWaveInput(Tone(kToneHz, 0.5, 8192), MemoryInputEnd::Loop);
  RecordedForm window;
  Analyser& analyser = window.analyser();
  analyser.StartUp();  // without showing the window, so only this test drives the cycle
  for (int block = 0; block < 5; ++block) {
    ASSERT_TRUE(analyser.Timer1_Timer()) << block;
    // A fresh buffer, queued and (from this driver) already full again.
    EXPECT_TRUE(window.capture().blnRecording);
    EXPECT_TRUE(CaptureBufferDone(window.capture()));
  }
  EXPECT_EQ(window.form->lblFreq->text(), "1001 Hz");
  // A pure tone leaves the noise reference (bin 3296) near -140 dB, smoothed to -57 after five
  // blocks, so the figure stays negative and never replaces the cleared hold.
  EXPECT_EQ(window.form->Label4->text(), "-58");
  EXPECT_EQ(window.form->lblMaxHold->text(), "0");
}

TEST(AcquisitionCycle, QuietInputKeepsTheDisplayUpdating) {
  UseMemoryWaveInput(std::vector<std::int16_t>(8192, 0), MemoryInputEnd::Loop);
  RecordedForm window;
  Analyser& analyser = window.analyser();
  analyser.StartUp();
  Form1& form = *window.form;

  // Silence is -140 dB in every bin; smoothed from 0: -14 after one block, -26.6 after two.
  // No level is above 0 dB, so the signal figure is -|noise| and the peak keeps its 0 Hz.
  ASSERT_TRUE(analyser.Timer1_Timer());
  EXPECT_EQ(form.Label4->text(), "-14");
  EXPECT_EQ(form.lblMax->text(), "-14 dB anl");
  EXPECT_EQ(form.lblFreq->text(), "0 Hz");
  EXPECT_EQ(form.lblMaxHold->text(), "0");
  ASSERT_TRUE(analyser.Timer1_Timer());
  EXPECT_EQ(form.Label4->text(), "-27");
  EXPECT_EQ(form.lblMax->text(), "-27 dB anl");
  // Every level is below the bottom line's 0 dB: the trace lies along it.
  const auto lit = PixelsOf(Shown(form), kYellow);
  ASSERT_FALSE(lit.empty());
  for (const QPoint& p : lit) ASSERT_EQ(p.y(), PlotRow(1000));
}

// ---- No sound input -----------------------------------------------------------------------

// What a message box looked like when it came up.
struct SeenBox {
  int count = 0;
  QString title, text;
  QMessageBox::StandardButtons buttons;
  QMessageBox::Icon icon = QMessageBox::Information;
  bool modal = false;
};

// Watches for message boxes and closes each one with OK, recording what it showed.
void WatchForBoxes(QObject* context, SeenBox& seen) {
  auto* timer = new QTimer(context);
  QObject::connect(timer, &QTimer::timeout, context, [&seen] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (!box || !box->isVisible()) continue;
      ++seen.count;
      seen.title = box->windowTitle();
      seen.text = box->text();
      seen.buttons = box->standardButtons();
      seen.icon = box->icon();
      seen.modal = box->isModal();
      box->button(QMessageBox::Ok)->click();
    }
  });
  timer->start(10);
}

TEST(NoSoundInput, ShowsTheErrorOnceAndKeepsTheEmptyGrid) {
  // A server that is not there.
  ::setenv("PULSE_SERVER", "unix:/nonexistent/quorvane-no-server", 1);
  UsePulseWaveInput({.keep_connection_ms = 0});
  SeenBox seen;
  auto form = std::make_unique<Form1>();  // the real message box
  WatchForBoxes(form.get(), seen);
  form->show();
  ASSERT_TRUE(ProcessEventsUntil([&] { return seen.count > 0; }));
  ProcessEvents(100);

  EXPECT_EQ(seen.count, 1);
  EXPECT_EQ(seen.title, "Tessavox");
  EXPECT_FALSE(seen.text.trimmed().isEmpty());
  EXPECT_FALSE(seen.text.endsWith(' '));
  EXPECT_EQ(seen.buttons, QMessageBox::Ok);
  EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  EXPECT_TRUE(seen.modal);
  CaptureState& capture = form->analyser().Capture();
  EXPECT_FALSE(capture.blnRecording);
  EXPECT_NE(capture.lngWaveResult, 0);
  EXPECT_EQ(QString::fromStdString(capture.strWaveError).trimmed(), seen.text.trimmed());

  // The rest of start-up ran: captions, grid, timer.
  EXPECT_EQ(form->lblReflvl->text(), "Ref: 30 dB");
  EXPECT_EQ(form->lblMax->text(), "0 dB anl");
  EXPECT_EQ(form->lblFreq->text(), "0 Hz");
  EXPECT_TRUE(form->Timer1->isActive());
  EXPECT_TRUE(PixelsOf(Shown(*form), kYellow).empty());
  EXPECT_EQ(Shown(*form).pixel(PlotColumn(0), PlotRow(0)), test::kGrey);

  // Ticks do nothing; closing the box and re-activating the window bring no second box.
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(form->analyser().Timer1_Timer());
  QEvent activate(QEvent::WindowActivate);
  QApplication::sendEvent(form.get(), &activate);
  form->hide();
  form->show();
  ProcessEvents(200);
  EXPECT_EQ(seen.count, 1);
  EXPECT_EQ(form->Label4->text(), "Label4");
  ::unsetenv("PULSE_SERVER");
}

// ---- Closing --------------------------------------------------------------------------------

TEST(Closing, WhileRecordingReleasesTheDeviceAndTheBuffer) {
  UseMemoryWaveInput({}, MemoryInputEnd::Wait);
  RecordedForm window;
  window.ShowAndStart();
  CaptureState& capture = window.capture();
  ASSERT_TRUE(capture.blnRecording);
  const HWAVEIN device = capture.hWaveIn;
  const HGLOBAL buffer = capture.hBuffer;

  EXPECT_TRUE(window.form->close());
  EXPECT_FALSE(capture.blnRecording);
  // Both handles are dead: closing the device again and freeing the block again are refused.
  EXPECT_EQ(waveInClose(device), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(GlobalFree(buffer), buffer);
  // And the one device is free for the next program.
  HWAVEIN again = nullptr;
  WAVEFORMATEX format = capture.wfx;
  ASSERT_EQ(waveInOpen(&again, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(again), MMSYSERR_NOERROR);
}

}  // namespace
}  // namespace quorvane
