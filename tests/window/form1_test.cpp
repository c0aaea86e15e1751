#include <gtest/gtest.h>

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QStyleOptionButton>
#include <QTest>
#include <set>

#include "tests/window/window_test_support.h"

namespace quorvane {
namespace {

using namespace test;

class Form1Test : public ::testing::Test {
 protected:
  // A device that opens but never completes a buffer: start-up succeeds and the running
  // timer never brings a block into a test.
  void SetUp() override { UseMemoryWaveInput({}, MemoryInputEnd::Wait); }
  test::RecordedForm window;
  Form1& form = *window.form;
};

TEST_F(Form1Test, FixedWindowWithItsCaptionsAndRanges) {
  EXPECT_EQ(form.windowTitle(), "Quorvane Spectrum");
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Tessavox");
  EXPECT_EQ(QGuiApplication::desktopFileName(), "org.quorvane.spectrum");
  EXPECT_FALSE(form.windowIcon().pixmap(32).isNull());
  EXPECT_EQ(form.size(), QSize(388, 338));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  const std::pair<QWidget*, const char*> captions[] = {
      {form.cmdClear, "MaxHold Clear"}, {form.Label1, "Freq Peak:"}, {form.Label2, "Sig max:"},
      {form.Label3, "Max Hold:"},       {form.Label4, "Label4"},     {form.lblMax, "Label1"}};
  for (auto [control, caption] : captions) {
    EXPECT_EQ(control->property("text").toString(), caption);
  }
  EXPECT_EQ(form.scrReflvl->orientation(), Qt::Vertical);
  EXPECT_EQ(std::pair(form.scrReflvl->minimum(), form.scrReflvl->maximum()), std::pair(-60, 60));
  EXPECT_EQ(form.scrReflvl->value(), 30);
  EXPECT_FALSE(form.Timer1->isActive());
}

// Every caption whole at its widest in use, at the window's device pixel ratio (CTest runs this
// case at 1 and at 2): set where the control's alignment puts it, the text in the control's own
// font lies inside the part of the control that the window shows.
TEST_F(Form1Test, EveryCaptionWholeAtItsWidest) {
  const std::pair<QWidget*, const char*> widest[] = {{form.lblReflvl, "Ref: -60 dB"},
                                                     {form.lblFreq, "11025 Hz"},
                                                     {form.Label4, "-140"},
                                                     {form.lblMax, "-137 dB anl"},
                                                     {form.Label1, "Freq Peak:"},
                                                     {form.Label2, "Sig max:"},
                                                     {form.lblMaxHold, "-137 dB anl"},
                                                     {form.Label3, "Max Hold:"},
                                                     {form.cmdClear, "MaxHold Clear"}};
  QStyleOptionButton button;
  button.initFrom(form.cmdClear);
  for (auto [control, text] : widest) {
    const auto* label = qobject_cast<QLabel*>(control);
    const QRect box =
        label ? label->contentsRect()
              : control->style()->subElementRect(QStyle::SE_PushButtonContents, &button, control);
    const qreal width = QFontMetricsF(control->font()).horizontalAdvance(text);
    const QRect set =
        QStyle::alignedRect(Qt::LeftToRight, label ? label->alignment() : Qt::AlignCenter,
                            QSize(std::ceil(width), 1), box);
    const QRect shown = control->rect().intersected(form.rect().translated(-control->pos()));
    EXPECT_TRUE(shown.contains(set)) << text << ": " << width << " px from " << set.left()
                                     << ", shown " << shown.left() << ".." << shown.right();
  }
}

TEST_F(Form1Test, StartUpOnceShowsTheEmptyGridAndSurvivesReactivation) {
  window.ShowAndStart();
  EXPECT_TRUE(window.boxes.empty());
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 30 dB");
  EXPECT_EQ(form.lblMaxHold->text(), "0");
  EXPECT_EQ(form.lblMax->text(), "0 dB anl");
  EXPECT_EQ(form.lblFreq->text(), "0 Hz");
  EXPECT_EQ(form.Label4->text(), "Label4");  // until the first block
  EXPECT_TRUE(form.Timer1->isActive());
  EXPECT_EQ(form.Timer1->interval(), 1);
  EXPECT_EQ(window.capture().whdr.dwBufferLength, 16384u);
  // The empty grid: eleven columns and nine rows of grey, nothing in the margins.
  std::set<int> grid_columns, grid_rows;
  for (int x = 0; x <= 1000; x += 100) grid_columns.insert(PlotColumn(x));
  for (int y = 0; y <= 1000; y += 125) grid_rows.insert(PlotRow(y));
  ASSERT_EQ(grid_columns.size() * grid_rows.size(), 99u);
  const QImage shown = Shown(form);
  for (int r = 0; r < shown.height(); ++r) {
    for (int c = 0; c < shown.width(); ++c) {
      const bool inside =
          c >= PlotColumn(0) && c <= PlotColumn(1000) && r >= PlotRow(0) && r <= PlotRow(1000);
      const bool on_line = inside && (grid_columns.count(c) || grid_rows.count(r));
      ASSERT_EQ(shown.pixel(c, r), on_line ? kGrey : test::kBlack) << c << ", " << r;
    }
  }

  // Switching away and back, hiding and showing: no second start-up.
  const HWAVEIN device = window.capture().hWaveIn;
  form.scrReflvl->setValue(45);
  window.state().sngMax = 12;
  window.analyser().DrawGrid();
  for (auto type : {QEvent::WindowDeactivate, QEvent::WindowActivate}) {
    QEvent event(type);
    QApplication::sendEvent(&form, &event);
  }
  form.hide();
  form.show();
  form.activateWindow();
  ProcessEvents(50);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 45 dB");
  EXPECT_EQ(form.lblMaxHold->text(), "12 dB anl");
  EXPECT_EQ(window.capture().hWaveIn, device);
}

// Levels of 40 dB everywhere and 70 dB at bin 372 (1001.29 Hz). With the reference at 30 dB
// the top line is 80 dB and a division 10 dB: 40 dB is y = 500, 70 dB is y = 125.
TEST_F(Form1Test, TraceFollowsTheLevelsAndTheScrollBar) {
  window.ShowAndStart();
  for (int bin = 0; bin <= 8193; ++bin) window.state().dblLevel[bin] = 40;
  window.state().dblLevel[372] = 70;
  window.analyser().CalcTrace();
  window.analyser().DrawTrace();
  const QImage shown = Shown(form);
  const int spike = PlotColumn(test::PlotX(372 * 22050.0 / 8192));
  // Bins 101..1003 span x = 0.764..999.887: the 40 dB floor runs along y = 500 over them.
  for (int c = PlotColumn(0.764); c <= PlotColumn(999.887); ++c) {
    if (std::abs(c - spike) > 1) {
      ASSERT_EQ(shown.pixel(c, PlotRow(500)), kYellow) << c;
    }
  }
  const auto lit = PixelsOf(shown, kYellow);
  EXPECT_EQ(test::Highest(lit), QPoint(spike, PlotRow(125)));
  for (const QPoint& p : lit) ASSERT_TRUE(p.x() >= PlotColumn(0) && p.x() <= PlotColumn(1000));

  const auto trace_row = [&] {
    const QImage image = Shown(form);
    for (int r = 0; r < image.height(); ++r) {
      if (image.pixel(PlotColumn(700), r) == kYellow) return r;
    }
    return -1;
  };
  QScrollBar* bar = form.scrReflvl;
  // Arrow keys and pages step by one (down is up in dB); 31 dB puts the floor at
  // (81 - 40) / 10 * 125 = 512.5; the ends hold, and -60 dB clips the floor above the grid.
  const struct {
    Qt::Key key;
    int start, value;
    double row;
  } steps[] = {{Qt::Key_Down, 30, 31, 512.5},
               {Qt::Key_Up, 30, 29, 487.5},
               {Qt::Key_PageDown, 29, 30, 500},
               {Qt::Key_Down, 60, 60, 875},
               {Qt::Key_Up, -60, -60, -50}};
  for (const auto& step : steps) {
    bar->setValue(step.start);
    QTest::keyClick(bar, step.key);
    EXPECT_EQ(bar->value(), step.value);
    EXPECT_EQ(form.lblReflvl->text(), QString("Ref: %1 dB").arg(step.value));
    EXPECT_EQ(window.state().sngRefLevel, step.value);
    EXPECT_EQ(trace_row(), PlotRow(step.row)) << step.value;
  }
  // Dragging the thumb counts only on release.
  bar->setSliderDown(true);
  bar->setSliderPosition(40);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: -60 dB");
  bar->setSliderDown(false);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 40 dB");
  EXPECT_EQ(trace_row(), PlotRow(625));
}

// The plot at the screen's device pixel ratio (CTest runs this case at 1 and at 2): a gently
// rising trace is one logical pixel thick and climbs one device pixel at a time, where a
// picture enlarged from 1x would climb by a whole logical pixel.
TEST_F(Form1Test, TraceDrawnAtDevicePixels) {
  window.ShowAndStart();
  for (int bin = 0; bin <= 8193; ++bin) window.state().dblLevel[bin] = 0.03 * bin;
  window.analyser().CalcTrace();
  window.analyser().DrawTrace();
  const QImage shown = Shown(form);
  const int ratio = std::lround(form.devicePixelRatioF());
  ASSERT_EQ(shown.size(), QSize(321, 297) * ratio);
  int climbs = 0;
  for (int c = PlotColumn(100) * ratio, top_before = -1; c < PlotColumn(900) * ratio; ++c) {
    const auto lit = PixelsOf(shown.copy(c, 0, 1, shown.height()), kYellow);
    const int top = lit.empty() ? -1 : lit.front().y(), thick = lit.size();
    ASSERT_TRUE(top >= 0 && lit.back().y() - top + 1 == thick && thick - ratio <= 1 &&
                thick >= ratio)
        << c;
    ASSERT_TRUE(top_before < 0 || top_before - top == 0 || top_before - top == 1) << c;
    climbs += top_before - top == 1;
    top_before = top;
  }
  EXPECT_GT(climbs, 60 * ratio);
}

TEST_F(Form1Test, MaxHoldClearAndRedrawsWithoutNewAudio) {
  window.ShowAndStart();
  window.state().sngMax = 25.5f;
  window.state().intPeakFreq = 1001;
  window.analyser().DrawGrid();
  ASSERT_EQ(form.lblMaxHold->text(), "25 dB anl");
  QTest::mouseClick(form.cmdClear, Qt::LeftButton);
  EXPECT_EQ(form.lblMaxHold->text(), "0");
  EXPECT_EQ(form.lblMax->text(), "25 dB anl");  // nothing else is reset
  form.scrReflvl->setValue(20);                 // redraws the readouts from the same figure
  EXPECT_EQ(form.lblMax->text(), "25 dB anl");
  EXPECT_EQ(form.lblMaxHold->text(), "25 dB anl");
  EXPECT_EQ(form.lblFreq->text(), "1001 Hz");
}

TEST_F(Form1Test, ARunTimeErrorEndsTheHandlerQuietly) {
  window.ShowAndStart();
  // A stop below start makes the mapping keep the old points; without any marker the drawing
  // runs off the arrays' end, a subscript error, which must end only this handler.
  window.state().dblTraceX.Fill(100);
  window.state().strFreqStop = "100";
  form.scrReflvl->setValue(35);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 35 dB");
  EXPECT_TRUE(window.boxes.empty());
  form.scrReflvl->setValue(36);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 36 dB");
  EXPECT_THROW(window.analyser().DrawTrace(), RuntimeError);
}

// One cycle per block, each restarting the capture; the tick does nothing while the buffer is
// not done.
TEST_F(Form1Test, OneCyclePerDoneBuffer) {
  std::vector<std::int16_t> tone(2 * 8192);  // bin 372: 1001.3 Hz, read as "1001 Hz"
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = std::lround(16383 * std::sin(2 * M_PI * 372 * i / 8192));
  UseMemoryWaveInput(tone, MemoryInputEnd::Wait);
  window.analyser().StartUp();  // without showing the window: only the test drives the cycle
  for (int block = 0; block < 2; ++block) {
    ASSERT_TRUE(window.analyser().Timer1_Timer()) << block;
    EXPECT_TRUE(window.capture().blnRecording);
  }
  EXPECT_EQ(form.lblFreq->text(), "1001 Hz");
  const QString noise = form.Label4->text();
  for (int tick = 0; tick < 20; ++tick) EXPECT_FALSE(window.analyser().Timer1_Timer());
  EXPECT_EQ(form.Label4->text(), noise);
  EXPECT_TRUE(window.boxes.empty());
}

TEST_F(Form1Test, ClosingWhileRecordingReleasesTheDeviceAndTheBuffer) {
  window.ShowAndStart();
  CaptureState& capture = window.capture();
  const HWAVEIN device = capture.hWaveIn;
  const HGLOBAL buffer = capture.hBuffer;
  EXPECT_TRUE(form.close());
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
