#include <QActionGroup>
#include <QMenu>
#include <QMessageBox>
#include <QString>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "apps/spectrum/form1.h"
#include "apps/spectrum/run_handler.h"
#include "capture/pulse_sources.h"

namespace quorvane {

void Form1::BuildPlotMenu() {
  // A popup of its own: nothing of it is part of the window until the right button asks.
  plot_menu_ = new QMenu(this);
  QAction* save_picture = plot_menu_->addAction(QStringLiteral("Save picture…"));
  save_picture->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  connect(save_picture, &QAction::triggered, this, [this] { AskSavePicture(); });
  QAction* save_levels = plot_menu_->addAction(QStringLiteral("Save levels…"));
  save_levels->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
  connect(save_levels, &QAction::triggered, this, [this] { AskSaveLevels(); });
  // The window holds the two as well, so that their keys work wherever its focus is.
  addAction(save_picture);
  addAction(save_levels);
  plot_menu_->addSeparator();
  auto* views = new QActionGroup(plot_menu_);
  band_view_ = plot_menu_->addAction(QStringLiteral("270–2700 Hz"));
  wide_view_ = plot_menu_->addAction(QStringLiteral("20 Hz–11 kHz, logarithmic"));
  for (QAction* view : {band_view_, wide_view_}) {
    view->setCheckable(true);
    views->addAction(view);
  }
  band_view_->setChecked(true);
  connect(band_view_, &QAction::triggered, this, [this] { SetView(PlotView::kBand); });
  connect(wide_view_, &QAction::triggered, this, [this] { SetView(PlotView::kWide); });
  plot_menu_->addSeparator();
  named_input_ = qEnvironmentVariable("PULSE_SOURCE");
  input_menu_ = plot_menu_->addMenu(QStringLiteral("Input"));
  // Asked only when opened: the server's inputs come and go.
  connect(input_menu_, &QMenu::aboutToShow, this, [this] { FillInputMenu(); });
  Picture1->SetMenu(plot_menu_);
}

void Form1::SetView(PlotView view) {
  (view == PlotView::kWide ? wide_view_ : band_view_)->setChecked(true);
  RunHandler([this, view] { analyser_->SetView(view); });
  std::vector<std::pair<double, QString>> labels;
  if (view == PlotView::kWide) {
    const FrequencyAxis axis = analyser_->ViewAxis();
    for (double hz : Analyser::WideGridHz()) {
      labels.emplace_back(1000 * axis.Fraction(hz),
                          hz >= 1000 ? QString::number(hz / 1000) + 'k' : QString::number(hz));
    }
  }
  Picture1->SetAxisLabels(std::move(labels));
}

void Form1::FillInputMenu() {
  input_menu_->clear();
  if (!named_input_.isEmpty()) {
    input_menu_->addAction(QStringLiteral("PULSE_SOURCE names the input: ") + named_input_)
        ->setEnabled(false);
    return;
  }
  // A local server answers in a millisecond or two; one that does not within this gets a line
  // saying so rather than a menu that holds up the window.
  std::string why;
  const std::optional<SoundSources> listed = ListSoundSources(std::chrono::milliseconds(500), why);
  if (!listed) {
    input_menu_->addAction(QString::fromStdString(why))->setEnabled(false);
    return;
  }
  auto* choices = new QActionGroup(input_menu_);
  const auto add = [&](QMenu* menu, const QString& text, const std::string& source, bool on) {
    QAction* choice = menu->addAction(text);
    choice->setCheckable(true);
    choice->setChecked(on);
    choices->addAction(choice);
    connect(choice, &QAction::triggered, this, [this, source] {
      if (const std::string wrong = ChooseInput(source); !wrong.empty()) {
        if (save_box_) save_box_->done(QMessageBox::Ok);
        save_box_ = OpenMessageBox(wrong, this);
      }
    });
  };
  add(input_menu_, QStringLiteral("Follow the desktop's input"), {}, chosen_input_.empty());
  input_menu_->addSeparator();
  QMenu* monitors = nullptr;
  for (const SoundSource& source : listed->sources) {
    if (source.monitor && !monitors) monitors = new QMenu(QStringLiteral("Monitors"), input_menu_);
    add(source.monitor ? monitors : input_menu_, QString::fromStdString(source.description),
        source.name, !chosen_input_.empty() && source.name == listed->recording_from);
  }
  if (monitors) input_menu_->addMenu(monitors);
}

std::string Form1::ChooseInput(const std::string& source) {
  std::string wrong = MoveRecording(source, std::chrono::milliseconds(1000));
  if (wrong.empty()) chosen_input_ = source;
  return wrong;
}

QString Form1::PointerText(QPoint pixel) const {
  const std::optional<PointerReading> reading =
      analyser_->ReadAt(pixel.x(), pixel.y(), Picture1->width(), Picture1->height());
  if (!reading) return {};
  return QString::asprintf("%.1f Hz\n%.1f dB\n%s %+.1f cents", reading->hz, reading->level_db,
                           reading->note.name.c_str(), reading->note.cents);
}

}  // namespace quorvane
