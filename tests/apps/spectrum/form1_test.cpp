#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/apps/spectrum/window_test_support.h"

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
  EXPECT_TRUE(form.Timer1Enabled());
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

// Levels of 40 dB everywhere and 70 dB at bin 372 (1001.29 Hz), the trace drawn.
void ToneOverFloor(RecordedForm& window) {
  for (int bin = 0; bin <= 8193; ++bin) window.state().dblLevel[bin] = 40;
  window.state().dblLevel[372] = 70;
  window.analyser().CalcTrace();
  window.analyser().DrawTrace();
}

// The frequency at the centre of pixel column c, on an axis from `low` to `high` Hz:
// linear, or in octaves.
double ColumnHz(int c, double low, double high, bool octaves) {
  const double x = std::clamp(-100 + (c + 0.5) * 1200 / 321, 0.0, 1000.0) / 1000;
  return octaves ? low * std::pow(high / low, x) : low + x * (high - low);
}

// The tooltip over the plot: on every pixel of the grid, edges included, and nowhere else.
// The grid's left edge (x = 0) is in column 26 and its right (x = 1000) in column 294, its top
// and bottom (y = 0, 1000) in rows 24 and 272: a pixel there reads as on the edge.
TEST_F(Form1Test, PointerReadsFrequencyLevelAndNoteOnTheGridOnly) {
  window.ShowAndStart();
  ToneOverFloor(window);
  ASSERT_EQ(std::pair(PlotColumn(0), PlotColumn(1000)), std::pair(26, 294));
  ASSERT_EQ(std::pair(PlotRow(0), PlotRow(1000)), std::pair(24, 272));
  // The spike's column: x 300.9 of bin 372, so column 107, whose centre reads 1003.5 Hz,
  // 14.27 semitones above A4: B5 and 27 cents. The column spans bins 371..374, the spike
  // among them, and the pointer reads the trace's top there.
  const int spike = PlotColumn(test::PlotX(372 * 22050.0 / 8192));
  ASSERT_EQ(spike, 107);
  const int middle = PlotRow(500);
  const struct {
    PlotView view;
    QPoint pixel;
    QString says;
  } cases[] = {
      {PlotView::kBand, {25, middle}, ""},
      {PlotView::kBand, {26, middle}, "270.0 Hz\n40.0 dB\nC#4 -45.5 cents"},
      {PlotView::kBand, {294, middle}, "2700.0 Hz\n40.0 dB\nE7 +40.9 cents"},
      {PlotView::kBand, {295, middle}, ""},
      {PlotView::kBand, {spike, 23}, ""},
      {PlotView::kBand, {spike, 24}, "1003.5 Hz\n70.0 dB\nB5 +27.4 cents"},
      {PlotView::kBand, {spike, 272}, "1003.5 Hz\n70.0 dB\nB5 +27.4 cents"},
      {PlotView::kBand, {spike, 273}, ""},
      {PlotView::kBand, {spike + 2, middle}, "1021.7 Hz\n40.0 dB\nC6 -41.5 cents"},
      // The wide view: 20 Hz at the left edge, 11025 Hz at the right, in octaves between.
      {PlotView::kWide, {25, middle}, ""},
      {PlotView::kWide, {26, middle}, "20.0 Hz\n40.0 dB\nD#0 +48.7 cents"},
      {PlotView::kWide, {294, middle}, "11025.0 Hz\n40.0 dB\nF9 -23.4 cents"},
      {PlotView::kWide, {295, middle}, ""},
  };
  for (const auto& c : cases) {
    form.SetView(c.view);
    EXPECT_EQ(form.PointerText(c.pixel), c.says) << c.pixel.x() << ", " << c.pixel.y();
    if (c.says.isEmpty()) continue;
    const bool wide = c.view == PlotView::kWide;
    EXPECT_TRUE(form.PointerText(c.pixel).startsWith(
        QString::number(ColumnHz(c.pixel.x(), wide ? 20 : 270, wide ? 11025 : 2700, wide), 'f', 1) +
        " Hz"));
  }
  // The pointer itself: the tooltip follows it over the grid and goes beyond it. Halfway
  // into a pixel (where a screen at scale 2 can put it) is still that pixel.
  form.SetView(PlotView::kBand);
  const auto move_to = [&](QPointF at) {
    QMouseEvent move(QEvent::MouseMove, at, form.Picture1->mapToGlobal(at), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(form.Picture1, &move);
  };
  move_to(QPointF(spike + 0.5, middle + 0.5));
  ASSERT_TRUE(ProcessEventsUntil([] { return QToolTip::isVisible(); }, 2000));
  EXPECT_EQ(QToolTip::text(), "1003.5 Hz\n70.0 dB\nB5 +27.4 cents");
  move_to(QPointF(10, middle));
  EXPECT_TRUE(ProcessEventsUntil([] { return !QToolTip::isVisible(); }, 2000));
}

// The wide view: bins from 20 Hz (bin 8, 21.5 Hz) to 11025 Hz (bin 4096) in octaves over the
// grid, grid lines on the 1-2-5 steps from 20 Hz to 10 kHz and at the right edge, the scroll
// bar as before, the readouts untouched; back in the band view, the very pixels of before.
TEST_F(Form1Test, WideViewMapsOctavesWithTheReadoutsAndScrollBarAsBefore) {
  window.ShowAndStart();
  window.state().sngMax = 25.5f;
  window.state().intPeakFreq = 1001;
  ToneOverFloor(window);
  const QImage band = Shown(form);
  const QString readouts = form.lblFreq->text() + form.lblMax->text() + form.lblMaxHold->text();
  form.SetView(PlotView::kWide);
  const QImage wide = Shown(form);
  const auto column = [](double hz) {
    return PlotColumn(1000 * std::log(hz / 20) / std::log(11025 / 20.0));
  };
  // 1001.29 Hz is 5.646 octaves above 20 Hz of the 9.107 up to 11025 Hz: x = 619.96.
  EXPECT_EQ(column(1001.29), PlotColumn(619.96));
  EXPECT_EQ(test::Highest(PixelsOf(wide, kYellow)), QPoint(column(1001.29), PlotRow(125)));
  const auto lit = PixelsOf(wide, kYellow);
  const auto [left, right] = std::ranges::minmax(lit, {}, &QPoint::x);
  EXPECT_EQ(left.x(), column(8 * 22050.0 / 8192));
  EXPECT_EQ(right.x(), PlotColumn(1000));
  for (double hz : {20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 11025})
    EXPECT_EQ(wide.pixel(column(hz), PlotRow(800)), kGrey) << hz;
  EXPECT_EQ(wide.pixel(column(300), PlotRow(800)), test::kBlack);
  EXPECT_EQ(form.lblFreq->text() + form.lblMax->text() + form.lblMaxHold->text(), readouts);

  // Ref 31 dB: the 40 dB floor at y = 512.5, as in the band view.
  form.scrReflvl->setValue(31);
  EXPECT_EQ(Shown(form).pixel(column(300), PlotRow(512.5)), kYellow);
  form.scrReflvl->setValue(30);
  EXPECT_EQ(Shown(form), wide);
  form.SetView(PlotView::kBand);
  EXPECT_EQ(Shown(form), band);
}

// A known block through the cycle: bin 372 at half scale (|X| = 16383/32768 * 8192/2 =
// 2047.9, 66.2 dB), then saved as CSV; its rows and comment lines say what the window shows.
TEST_F(Form1Test, SavedLevelsAndPictureAreWhatTheWindowShows) {
  std::vector<std::int16_t> tone(2 * 8192);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = std::lround(16383 * std::sin(2 * M_PI * 372 * i / 8192));
  UseMemoryWaveInput(tone, MemoryInputEnd::Wait);
  window.ShowAndStart();
  ASSERT_TRUE(ProcessEventsUntil([&] { return form.lblFreq->text() == "1001 Hz"; }));
  ProcessEvents(100);
  QTemporaryDir dir;
  const QString csv_path = dir.filePath("levels.csv"), png_path = dir.filePath("window.png");
  ASSERT_EQ(form.SaveLevels(csv_path), "");
  std::ifstream csv(csv_path.toStdString());
  std::string line;
  std::getline(csv, line);
  EXPECT_EQ(line, "bin,hz,level_db,smoothed_db");
  int rows = 0, loudest = -1;
  double loudest_db = -1000;
  for (; std::getline(csv, line) && !line.starts_with("#"); ++rows) {
    std::istringstream fields(line);
    std::string bin, hz, level, smoothed;
    std::getline(fields, bin, ',');
    std::getline(fields, hz, ',');
    std::getline(fields, level, ',');
    std::getline(fields, smoothed, ',');
    ASSERT_EQ(std::stoi(bin), rows);
    ASSERT_EQ(std::stod(hz), rows * 22050.0 / 8192);
    ASSERT_EQ(std::stod(smoothed), window.state().dblLevel[rows]) << rows;  // to the bit
    if (std::stod(level) > loudest_db)
      std::tie(loudest, loudest_db) = std::pair(rows, std::stod(level));
  }
  EXPECT_EQ(rows, 4097);
  EXPECT_EQ(loudest, 372);
  EXPECT_NEAR(loudest_db, 20 * std::log10(16383 / 32768.0 * 4096), 0.01);
  std::vector<std::string> comments{line};
  while (std::getline(csv, line)) comments.push_back(line);
  const std::vector<std::string> expected{"# Freq Peak: " + form.lblFreq->text().toStdString(),
                                          "# Sig max: " + form.lblMax->text().toStdString(),
                                          "# Max Hold: " + form.lblMaxHold->text().toStdString(),
                                          "# Noise: " + form.Label4->text().toStdString(),
                                          "# Ref: 30 dB"};
  ASSERT_EQ(comments.size(), expected.size() + 1);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), comments.begin()));
  // The fine estimate of the line at bin 372: 372 * 22050 / 8192 = 1001.2915 Hz.
  const std::string precise = "# Peak, precise: ";
  ASSERT_TRUE(comments.back().starts_with(precise) && comments.back().ends_with(" Hz"));
  EXPECT_NEAR(std::stod(comments.back().substr(precise.size())), 1001.2915, 0.005);

  ASSERT_EQ(form.SavePicture(png_path), "");
  const QImage saved(png_path);
  EXPECT_EQ(saved.size(), form.size() * form.devicePixelRatioF());
  EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB32),
            form.grab().toImage().convertToFormat(QImage::Format_RGB32));
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"levels.csv", "window.png"}));
}

// A save that fails says why and leaves nothing: no file where there was none, the old file
// as it was where there was one, and no temporary beside it.
TEST_F(Form1Test, AFailedSaveLeavesNothingAndSaysWhy) {
  window.ShowAndStart();
  QTemporaryDir dir;
  QDir(dir.path()).mkdir("folder");
  {
    QFile old(dir.filePath("old.png"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old");
  }
  const auto files = [&] {
    return QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
  };
  const QStringList before = files();
  // A disk that fills up mid-way: no file may grow past 100 bytes (SIGXFSZ ignored, so the
  // write fails with EFBIG instead of ending the test).
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{100, limit.rlim_max};
  const struct {
    QString path;
    bool levels, full_disk;
    std::string why;
  } cases[] = {
      {dir.filePath("missing/window.png"), false, false, "missing/window.png: "},
      {dir.filePath("folder"), true, false, "folder: "},
      {dir.filePath("old.png"), false, true, "old.png: "},
      {dir.filePath("old.png"), true, true, "old.png: "},
  };
  for (const auto& c : cases) {
    if (c.full_disk) {
      signal(SIGXFSZ, SIG_IGN);
      setrlimit(RLIMIT_FSIZE, &small);
    }
    const std::string why = c.levels ? form.SaveLevels(c.path) : form.SavePicture(c.path);
    setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_TRUE(
        why.starts_with(c.levels ? "Cannot save the levels as " : "Cannot save the picture as ") &&
        why.find(c.why) != std::string::npos && why.size() > why.find(c.why) + c.why.size())
        << c.path.toStdString() << ": " << why;
    EXPECT_EQ(files(), before) << c.path.toStdString();
  }
  QFile old(dir.filePath("old.png"));
  ASSERT_TRUE(old.open(QIODevice::ReadOnly));
  EXPECT_EQ(old.readAll(), "old");

  // Through the menu's dialog: the same reason in a box, the window going on behind it.
  form.AskSavePicture();
  auto* dialog = form.findChild<QFileDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  emit dialog->fileSelected(dir.filePath("missing/window.png"));
  ASSERT_NE(form.SaveErrorBox(), nullptr);
  EXPECT_TRUE(form.SaveErrorBox()->text().startsWith("Cannot save the picture as "));
  EXPECT_EQ(form.SaveErrorBox()->windowModality(), Qt::WindowModal);
  dialog->close();
  EXPECT_EQ(files(), before);
}

// Nothing new shows by default: the menu appears only when asked, and holds what it offers.
TEST_F(Form1Test, PlotMenuOffersSavesAndViews) {
  window.ShowAndStart();
  QStringList texts;
  for (QAction* action : form.PlotMenu()->actions())
    texts << action->text() + (action->isChecked() ? " *" : "") + " " +
                 action->shortcut().toString();
  EXPECT_EQ(texts, QStringList({"Save picture… Ctrl+S", "Save levels… Ctrl+Shift+S", " ",
                                "270–2700 Hz * ", "20 Hz–11 kHz, logarithmic ", " ", "Input "}));
  EXPECT_FALSE(form.PlotMenu()->isVisible());
  QTest::keyClick(&form, Qt::Key_S, Qt::ControlModifier);
  auto* dialog = form.findChild<QFileDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->defaultSuffix(), "png");
  dialog->close();
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
// not done, and a block cut short is not analysed: the display keeps the last whole one.
TEST_F(Form1Test, OneCyclePerWholeBuffer) {
  std::vector<std::int16_t> tone(2 * 8192 + 4096);  // bin 372: 1001.3 Hz, read as "1001 Hz"
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = std::lround(16383 * std::sin(2 * M_PI * 372 * i / 8192));
  UseMemoryWaveInput(tone, MemoryInputEnd::Finish);  // the third buffer comes back half full
  window.analyser().StartUp();  // without showing the window: only the test drives the cycle
  for (int block = 0; block < 2; ++block) {
    ASSERT_TRUE(window.analyser().Timer1_Timer()) << block;
    EXPECT_TRUE(window.capture().blnRecording);
  }
  EXPECT_EQ(form.lblFreq->text(), "1001 Hz");
  const QString noise = form.Label4->text(), figure = form.lblMax->text();
  const BinArray levels = window.state().dblLevel;
  for (int tick = 0; tick < 20; ++tick) EXPECT_FALSE(window.analyser().Timer1_Timer());
  EXPECT_EQ(MemoryWaveInputPosition(), tone.size());  // the short block came and went
  EXPECT_TRUE(window.capture().blnRecording);
  EXPECT_TRUE(
      std::equal(levels.data(), levels.data() + levels.size(), window.state().dblLevel.data()));
  EXPECT_EQ(form.Label4->text(), noise);
  EXPECT_EQ(form.lblMax->text(), figure);
  EXPECT_TRUE(window.boxes.empty());
}

// A start that fails shows its box after the empty grid, modal to the window only: the retries
// go on behind it, quietly, and once blocks are shown again the box closes by itself.
TEST_F(Form1Test, AnUnattendedBoxClosesWhenBlocksAreShownAgain) {
  HWAVEIN taken = nullptr;  // device 0 held elsewhere: the start fails
  const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
  ASSERT_EQ(waveInOpen(&taken, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  window.ShowAndStart();
  ASSERT_EQ(window.boxes.size(), 1u);
  ASSERT_TRUE(ProcessEventsUntil([&] { return form.OutageBox() != nullptr; }));
  QMessageBox* box = form.OutageBox();
  EXPECT_EQ(box->text().toStdString(),
            "The sound input device is already in use or was refused. Device 0 is already open.");
  EXPECT_EQ(box->windowTitle(), "Tessavox");
  EXPECT_EQ(box->windowModality(), Qt::WindowModal);
  EXPECT_EQ(Shown(form).pixel(PlotColumn(0), PlotRow(0)), kGrey);
  ProcessEvents(1500);  // a retry or so
  EXPECT_EQ(window.boxes.size(), 1u);
  std::vector<std::int16_t> tone(8192, 1000);
  UseMemoryWaveInput(tone, MemoryInputEnd::Loop);  // device 0 free again, with sound
  ASSERT_EQ(waveInClose(taken), MMSYSERR_NOERROR);
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.capture().blnRecording; }, 3000));
  EXPECT_TRUE(form.OutageBox() != nullptr);  // until blocks are shown for a moment
  EXPECT_TRUE(ProcessEventsUntil([&] { return form.OutageBox() == nullptr; }, 3000));
  EXPECT_EQ(window.boxes.size(), 1u);
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
