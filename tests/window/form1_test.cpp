#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QStyleOptionSlider>
#include <QTest>

#include "display/trace.h"
#include "tests/window/window_test_support.h"

namespace quorvane {
namespace {

using test::kGrey;
using test::kYellow;
using test::PixelsOf;
using test::PlotColumn;
using test::PlotRow;
using test::ProcessEvents;
using test::RecordedForm;
using test::Shown;

// Twips to pixels at 15 a pixel.
QRect Twips(int left, int top, int width, int height) {
  return QRect(left / 15, top / 15, width / 15, height / 15);
}

class Form1Test : public ::testing::Test {
 protected:
  void SetUp() override {
    // A device that opens but never completes a buffer: start-up succeeds and the running
    // timer never brings a block into a test.
    UseMemoryWaveInput({}, MemoryInputEnd::Wait);
  }
  RecordedForm window;
  Form1& form = *window.form;
};

// ---- Layout -------------------------------------------------------------------------------

TEST_F(Form1Test, LayoutControlsInCreationOrderAtTheirPlaces) {
  EXPECT_EQ(form.windowTitle(), "Quorvane Spectrum");
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Tessavox");
  EXPECT_EQ(form.size(), QSize(388, 338));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());

  const std::vector<QObject*> expected_order = {
      form.cmdClear, form.scrReflvl, form.Picture1,   form.Timer1, form.Label4,  form.Label3,
      form.Label2,   form.Label1,    form.lblMaxHold, form.lblMax, form.lblFreq, form.lblReflvl};
  std::vector<QObject*> created;
  for (QObject* child : form.children()) {
    if (std::find(expected_order.begin(), expected_order.end(), child) != expected_order.end()) {
      created.push_back(child);
    }
  }
  EXPECT_EQ(created, expected_order);

  EXPECT_EQ(form.cmdClear->geometry(), Twips(3000, 4560, 1095, 495));
  EXPECT_EQ(form.scrReflvl->geometry(), Twips(240, 600, 255, 1935));
  EXPECT_EQ(form.Picture1->geometry(), Twips(960, 0, 4815, 4455));
  EXPECT_EQ(form.Label4->geometry(), Twips(120, 4080, 615, 255));
  EXPECT_EQ(form.Label3->geometry(), Twips(4320, 4680, 735, 255));
  EXPECT_EQ(form.Label2->geometry(), Twips(1560, 4680, 615, 255));
  EXPECT_EQ(form.Label1->geometry(), Twips(0, 4680, 855, 255));
  EXPECT_EQ(form.lblMaxHold->geometry(), Twips(5160, 4680, 735, 255));
  EXPECT_EQ(form.lblMax->geometry(), Twips(2280, 4680, 615, 255));
  EXPECT_EQ(form.lblFreq->geometry(), Twips(840, 4680, 615, 255));
  EXPECT_EQ(form.lblReflvl->geometry(), Twips(-120, 240, 975, 255));
  // Hanging over the edges, for the window to cut off.
  EXPECT_EQ(form.lblReflvl->geometry().left(), -8);
  EXPECT_EQ(form.lblMaxHold->geometry().right() + 1, 393);
  EXPECT_EQ(form.Picture1->Surface().WidthPixels(), 321);
  EXPECT_EQ(form.Picture1->Surface().HeightPixels(), 297);
}

TEST_F(Form1Test, CaptionsAtCreation) {
  EXPECT_EQ(form.cmdClear->text(), "MaxHold Clear");
  EXPECT_EQ(form.Label4->text(), "Label4");
  EXPECT_EQ(form.Label3->text(), "Max Hold:");
  EXPECT_EQ(form.Label2->text(), "Sig max:");
  EXPECT_EQ(form.Label1->text(), "Freq Peak:");
  EXPECT_EQ(form.lblMaxHold->text(), "Label1");
  EXPECT_EQ(form.lblMax->text(), "Label1");
  EXPECT_EQ(form.lblFreq->text(), "Label1");
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 0 dB");
}

TEST_F(Form1Test, ScrollBarAndTimerSettingsAtCreation) {
  EXPECT_EQ(form.scrReflvl->orientation(), Qt::Vertical);
  EXPECT_EQ(form.scrReflvl->minimum(), -60);
  EXPECT_EQ(form.scrReflvl->maximum(), 60);
  EXPECT_EQ(form.scrReflvl->singleStep(), 1);
  EXPECT_EQ(form.scrReflvl->pageStep(), 1);
  EXPECT_EQ(form.scrReflvl->value(), 30);
  EXPECT_EQ(form.Timer1->interval(), 1);
  EXPECT_FALSE(form.Timer1->isActive());
  EXPECT_EQ(form.Picture1->Surface().BackColor(), 0u);
}

TEST_F(Form1Test, ResizingMovesNothing) {
  window.ShowAndStart();
  form.resize(600, 500);
  ProcessEvents();
  EXPECT_EQ(form.size(), QSize(388, 338));
  EXPECT_EQ(form.Picture1->geometry(), Twips(960, 0, 4815, 4455));
}

// ---- Start-up -----------------------------------------------------------------------------

TEST_F(Form1Test, StartUpSetsCaptionsAndShowsTheEmptyGrid) {
  window.ShowAndStart();
  EXPECT_TRUE(window.boxes.empty());
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 30 dB");
  EXPECT_EQ(form.lblMaxHold->text(), "0");
  EXPECT_EQ(form.lblMax->text(), "0 dB anl");
  EXPECT_EQ(form.lblFreq->text(), "0 Hz");
  EXPECT_EQ(form.Label4->text(), "Label4");  // until the first block
  EXPECT_EQ(form.scrReflvl->value(), 30);
  EXPECT_TRUE(form.Timer1->isActive());
  EXPECT_EQ(form.Timer1->interval(), 1);
  EXPECT_TRUE(window.capture().blnRecording);
  EXPECT_EQ(window.capture().lngBufferBytes, 16384);
  EXPECT_EQ(window.capture().whdr.dwBufferLength, 16384u);

  const QImage shown = Shown(form);
  EXPECT_EQ(shown.size(), QSize(321, 297));
  EXPECT_TRUE(PixelsOf(shown, kYellow).empty());
  EXPECT_EQ(shown.pixel(PlotColumn(0), PlotRow(500)), kGrey);
  EXPECT_EQ(shown.pixel(PlotColumn(1000), PlotRow(1000)), kGrey);
  EXPECT_EQ(shown.pixel(PlotColumn(50), PlotRow(50)), test::kBlack);
}

TEST_F(Form1Test, StartUpRunsOnceNotOnReactivation) {
  window.ShowAndStart();
  HWAVEIN device = window.capture().hWaveIn;
  form.scrReflvl->setValue(45);
  window.state().sngMax = 12;
  window.analyser().DrawGrid();
  ASSERT_EQ(form.lblMaxHold->text(), "12 dB anl");

  // Switching to another program and back, and hiding and showing the window.
  QEvent deactivate(QEvent::WindowDeactivate);
  QApplication::sendEvent(&form, &deactivate);
  QEvent activate(QEvent::WindowActivate);
  QApplication::sendEvent(&form, &activate);
  form.hide();
  form.show();
  form.activateWindow();
  ProcessEvents(50);

  EXPECT_EQ(form.lblReflvl->text(), "Ref: 45 dB");
  EXPECT_EQ(window.state().sngRefLevel, 45);
  EXPECT_EQ(form.lblMaxHold->text(), "12 dB anl");
  EXPECT_EQ(window.capture().hWaveIn, device);
}

// ---- Trace --------------------------------------------------------------------------------

// Levels of 40 dB everywhere and 70 dB at bin 372 (1001.29 Hz). With the reference at 30 dB
// the top line is 80 dB and a row is 10 dB: 40 dB is y = 500, 70 dB is y = 125.
void SetKnownLevels(AnalyserState& state) {
  for (int bin = 0; bin <= 8193; ++bin) state.dblLevel[bin] = 40;
  state.dblLevel[372] = 70;
}

TEST_F(Form1Test, KnownLevelsAreDrawnAsAYellowTraceWherePlotUnitsSay) {
  window.ShowAndStart();
  SetKnownLevels(window.state());
  window.analyser().CalcTrace();
  window.analyser().DrawTrace();
  const QImage shown = Shown(form);

  // Bins 101..1003 span x = 0.764..999.887: the 40 dB floor runs along y = 500 over them.
  const int floor_row = PlotRow(500);
  for (int c = PlotColumn(0.764); c <= PlotColumn(999.887); ++c) {
    const bool near_peak = std::abs(c - PlotColumn(test::PlotX(372 * 22050.0 / 8192))) <= 1;
    if (!near_peak) {
      ASSERT_EQ(shown.pixel(c, floor_row), kYellow) << c;
    }
  }
  // The highest yellow pixel is the spike, at bin 372's x and y = 125.
  const auto lit = PixelsOf(shown, kYellow);
  ASSERT_FALSE(lit.empty());
  const QPoint top =
      *std::min_element(lit.begin(), lit.end(), [](QPoint a, QPoint b) { return a.y() < b.y(); });
  EXPECT_EQ(top.y(), PlotRow(125));
  EXPECT_EQ(top.x(), PlotColumn(test::PlotX(372 * 22050.0 / 8192)));
  // Nothing of the trace outside the grid's columns.
  for (const QPoint& p : lit) {
    EXPECT_GE(p.x(), PlotColumn(0));
    EXPECT_LE(p.x(), PlotColumn(1000));
  }
  // The grid stays visible where the trace does not cover it.
  EXPECT_EQ(shown.pixel(PlotColumn(500), PlotRow(875)), kGrey);
}

TEST_F(Form1Test, BeforeTheFirstBlockTheTraceLiesOnTheBottomLine) {
  window.ShowAndStart();
  // Levels still 0: 80 dB below the top line, y = 1000.
  form.scrReflvl->setValue(30);  // no change, no event
  window.analyser().scrReflvl_Change(30);
  const auto lit = PixelsOf(Shown(form), kYellow);
  ASSERT_FALSE(lit.empty());
  for (const QPoint& p : lit) ASSERT_EQ(p.y(), PlotRow(1000));
}

// ---- Reference-level scroll bar -----------------------------------------------------------

QRect ScrollBarPart(QScrollBar* bar, QStyle::SubControl part) {
  QStyleOptionSlider option;
  option.initFrom(bar);
  option.orientation = bar->orientation();
  option.minimum = bar->minimum();
  option.maximum = bar->maximum();
  option.sliderPosition = bar->sliderPosition();
  option.sliderValue = bar->value();
  option.singleStep = bar->singleStep();
  option.pageStep = bar->pageStep();
  option.subControls = QStyle::SC_All;
  return bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, bar);
}

int TraceRow(Form1& form) {
  // The floor of the known levels, away from the spike.
  const QImage shown = Shown(form);
  for (int r = 0; r < shown.height(); ++r) {
    if (shown.pixel(PlotColumn(700), r) == kYellow) return r;
  }
  return -1;
}

TEST_F(Form1Test, ScrollBarMovesTheLabelAndTheTrace) {
  window.ShowAndStart();
  SetKnownLevels(window.state());
  window.analyser().CalcTrace();
  window.analyser().DrawTrace();
  ASSERT_EQ(TraceRow(form), PlotRow(500));

  // One arrow click: 31 dB, the 40 dB floor at (81 - 40) / 10 * 125 = 512.5.
  QTest::mouseClick(form.scrReflvl, Qt::LeftButton, {},
                    ScrollBarPart(form.scrReflvl, QStyle::SC_ScrollBarAddLine).center());
  ProcessEvents();
  EXPECT_EQ(form.scrReflvl->value(), 31);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 31 dB");
  EXPECT_EQ(window.state().sngRefLevel, 31);
  EXPECT_EQ(TraceRow(form), PlotRow(512.5));

  // 10 dB more is 125 units down.
  form.scrReflvl->setValue(40);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 40 dB");
  EXPECT_EQ(TraceRow(form), PlotRow(625));

  // At the top of the range the 40 dB floor is 70 dB below the top line: seven rows.
  form.scrReflvl->setValue(60);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 60 dB");
  EXPECT_EQ(TraceRow(form), PlotRow(875));
  // At the bottom of the range 40 dB is 30 dB above the top line, clipped to 50 units above.
  form.scrReflvl->setValue(-60);
  EXPECT_EQ(TraceRow(form), PlotRow(-50));
}

TEST_F(Form1Test, ArrowAndTrackClicksStepByOneAndStopAtTheEnds) {
  window.ShowAndStart();
  QScrollBar* bar = form.scrReflvl;
  QTest::mouseClick(bar, Qt::LeftButton, {},
                    ScrollBarPart(bar, QStyle::SC_ScrollBarSubLine).center());
  EXPECT_EQ(bar->value(), 29);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 29 dB");
  QTest::mouseClick(bar, Qt::LeftButton, {},
                    ScrollBarPart(bar, QStyle::SC_ScrollBarAddPage).center());
  EXPECT_EQ(bar->value(), 30);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 30 dB");
  QTest::mouseClick(bar, Qt::LeftButton, {},
                    ScrollBarPart(bar, QStyle::SC_ScrollBarSubPage).center());
  EXPECT_EQ(bar->value(), 29);

  bar->setValue(60);
  QTest::mouseClick(bar, Qt::LeftButton, {},
                    ScrollBarPart(bar, QStyle::SC_ScrollBarAddLine).center());
  EXPECT_EQ(bar->value(), 60);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 60 dB");
  bar->setValue(-60);
  QTest::mouseClick(bar, Qt::LeftButton, {},
                    ScrollBarPart(bar, QStyle::SC_ScrollBarSubLine).center());
  EXPECT_EQ(bar->value(), -60);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: -60 dB");
  EXPECT_EQ(window.state().sngRefLevel, -60);
}

TEST_F(Form1Test, DraggingTheThumbCountsOnlyOnRelease) {
  window.ShowAndStart();
  QScrollBar* bar = form.scrReflvl;
  bar->setSliderDown(true);
  bar->setSliderPosition(10);
  bar->setSliderPosition(-20);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 30 dB");
  EXPECT_EQ(window.state().sngRefLevel, 30);
  bar->setSliderDown(false);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: -20 dB");
  EXPECT_EQ(window.state().sngRefLevel, -20);
}

// ---- Max hold -----------------------------------------------------------------------------

TEST_F(Form1Test, MaxHoldCopiesOnlyUpward) {
  window.ShowAndStart();
  Analyser& analyser = window.analyser();
  window.state().sngMax = 12.7f;
  analyser.DrawGrid();
  EXPECT_EQ(window.state().sngMax, 12);
  EXPECT_EQ(form.lblMax->text(), "12 dB anl");
  EXPECT_EQ(form.lblMaxHold->text(), "12 dB anl");

  window.state().sngMax = 11.2f;
  analyser.DrawGrid();
  EXPECT_EQ(form.lblMax->text(), "11 dB anl");
  EXPECT_EQ(form.lblMaxHold->text(), "12 dB anl");

  window.state().sngMax = 30;
  analyser.DrawGrid();
  EXPECT_EQ(form.lblMaxHold->text(), "30 dB anl");
}

TEST_F(Form1Test, MaxHoldIgnoresEqualFigures) {
  window.ShowAndStart();
  // A held text of the same number but another wording shows whether an equal figure copies.
  form.lblMaxHold->setText("12");
  window.state().sngMax = 12;
  window.analyser().DrawGrid();
  EXPECT_EQ(form.lblMax->text(), "12 dB anl");
  EXPECT_EQ(form.lblMaxHold->text(), "12");
}

TEST_F(Form1Test, NegativeFiguresNeverReplaceTheClearedHold) {
  window.ShowAndStart();
  window.state().sngMax = -0.5f;
  window.analyser().DrawGrid();
  EXPECT_EQ(window.state().sngMax, -1);
  EXPECT_EQ(form.lblMax->text(), "-1 dB anl");
  EXPECT_EQ(form.lblMaxHold->text(), "0");
}

TEST_F(Form1Test, MaxHoldClearResetsToZeroAndThenAnyPositiveFigureCopies) {
  window.ShowAndStart();
  window.state().sngMax = 25;
  window.analyser().DrawGrid();
  ASSERT_EQ(form.lblMaxHold->text(), "25 dB anl");

  QTest::mouseClick(form.cmdClear, Qt::LeftButton);
  EXPECT_EQ(form.lblMaxHold->text(), "0");
  EXPECT_EQ(form.lblMax->text(), "25 dB anl");  // nothing else is reset

  window.state().sngMax = 3;
  window.analyser().DrawGrid();
  EXPECT_EQ(form.lblMaxHold->text(), "3 dB anl");
}

TEST_F(Form1Test, RedrawingWithoutNewAudioLeavesTheReadouts) {
  window.ShowAndStart();
  window.state().sngMax = 17.9f;
  window.state().intPeakFreq = 1001;
  window.analyser().DrawGrid();
  form.scrReflvl->setValue(20);
  EXPECT_EQ(window.state().sngMax, 17);
  EXPECT_EQ(form.lblMax->text(), "17 dB anl");
  EXPECT_EQ(form.lblMaxHold->text(), "17 dB anl");
  EXPECT_EQ(form.lblFreq->text(), "1001 Hz");
}

// ---- Run-time errors ----------------------------------------------------------------------

TEST_F(Form1Test, ARunTimeErrorEndsTheHandlerQuietly) {
  window.ShowAndStart();
  // A stop text below start makes the mapping keep the old points; without any marker the
  // drawing runs off the arrays' end, a subscript error, which must end only this handler.
  for (int i = 0; i <= 8193; ++i) window.state().dblTraceX[i] = 100;
  window.state().strFreqStop = "100";
  form.scrReflvl->setValue(35);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 35 dB");
  EXPECT_TRUE(window.boxes.empty());
  // The window carries on.
  form.scrReflvl->setValue(36);
  EXPECT_EQ(form.lblReflvl->text(), "Ref: 36 dB");
  EXPECT_THROW(window.analyser().DrawTrace(), RuntimeError);
}

}  // namespace
}  // namespace quorvane
