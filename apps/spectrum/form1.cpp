#include "apps/spectrum/form1.h"

#include <QActionGroup>
#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QCursor>
#include <QDateTime>
#include <QFileDialog>
#include <QFont>
#include <QFontMetricsF>
#include <QIcon>
#include <QMessageBox>
#include <QSaveFile>
#include <QShowEvent>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleOptionButton>
#include <QToolTip>
#include <algorithm>
#include <utility>
#include <vector>

#include "capture/pulse_sources.h"
#include "common/identity.h"
#include "common/runtime_error.h"

// The icon built into a static library is registered by hand.
static void RegisterIcon() {
  Q_INIT_RESOURCE(icon);
}

namespace quorvane {

namespace {

// Positions and sizes are given in twips; 15 make a pixel at 96 dots per inch.
constexpr int kTwipsPerPixel = 15;

QRect Twips(int left, int top, int width, int height) {
  return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
               height / kTwipsPerPixel);
}

// The widest text a control shows whole, in a text box `box` aligned as `alignment`: from
// the side the text is set against to the far edge of what the window shows of the box, or
// twice the nearer distance from its centre.
qreal Room(const QRect& box, Qt::Alignment alignment, const QRect& window) {
  const QRect shown = box.intersected(window);
  if (alignment & Qt::AlignRight) return box.right() + 1 - shown.left();
  if (alignment & Qt::AlignHCenter) {
    const qreal centre = box.left() + box.width() / 2.0;
    return 2 * std::min(centre - shown.left(), shown.right() + 1 - centre);
  }
  return shown.right() + 1 - box.left();
}

// Liberation Sans Narrow (Debian's fonts-liberation), the narrowest of the common screen faces,
// at 9 px: it sets the widest readout, "-137 dB anl", in 37.7 px of the 41 that lblMax has,
// where 10 px would take 41.8 and DejaVu Sans Condensed at 9 px 46.5. Where the face is
// missing, the font system's stand-in (a metric twin such as Nimbus Sans Narrow, or else its
// sans face), made smaller until every text fits: DejaVu Sans alone ends at 7 px.
QFont CaptionFont(const std::vector<std::pair<qreal, const char*>>& room_and_widest) {
  QFont font(QStringLiteral("Liberation Sans Narrow"));
  font.setStyleHint(QFont::SansSerif);
  for (int pixels = 9;; --pixels) {
    font.setPixelSize(pixels);
    const QFontMetricsF metrics(font);
    if (pixels == 1 || std::all_of(room_and_widest.begin(), room_and_widest.end(), [&](auto c) {
          return metrics.horizontalAdvance(QString::fromUtf8(c.second)) <= c.first;
        })) {
      return font;
    }
  }
}

// Runs one event handler's work; a run-time error ends it there, silently.
template <typename Work>
void Handler(Work&& work) {
  try {
    work();
  } catch (const RuntimeError&) {
  }
}

}  // namespace

void SetApplicationTitle() {
  // Through the application name rather than the display name: Qt appends a display name to
  // every window title, which would change the window's caption.
  QCoreApplication::setApplicationName(QString::fromUtf8(kApplicationTitle));
  // The desktop entry's name: desktops match the windows to it, its name and its icon.
  QGuiApplication::setDesktopFileName(QString::fromUtf8(kApplicationId));
  // The installed icon, or from a build tree the same picture built into the program.
  RegisterIcon();
  QGuiApplication::setWindowIcon(QIcon::fromTheme(
      QString::fromUtf8(kIconName),
      QIcon(QStringLiteral(":/icons/") + QString::fromUtf8(kIconName) + QStringLiteral(".svg"))));
}

QMessageBox* OpenMessageBox(const std::string& text, QWidget* parent) {
  auto* box = new QMessageBox(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(),
                              QString::fromStdString(text), QMessageBox::Ok, parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  // Not exec(): its own event loop would hold up the program inside whatever opened the box.
  box->open();
  return box;
}

Form1::Form1(MessageBoxFunction message_box) {
  setWindowTitle(QString::fromUtf8(kFormCaption));
  setFixedSize(5820 / kTwipsPerPixel, 5070 / kTwipsPerPixel);
  cmdClear = new QPushButton(QStringLiteral("MaxHold Clear"), this);
  cmdClear->setGeometry(Twips(3000, 4560, 1095, 495));

  scrReflvl = new QScrollBar(Qt::Vertical, this);
  scrReflvl->setGeometry(Twips(240, 600, 255, 1935));
  scrReflvl->setRange(-60, 60);
  scrReflvl->setSingleStep(1);
  scrReflvl->setPageStep(1);
  scrReflvl->setValue(30);
  // Only a finished change counts: dragging the thumb reports its value on release, while
  // arrow and track clicks report at once.
  scrReflvl->setTracking(false);
  scrReflvl->setFocusPolicy(Qt::TabFocus);

  Picture1 = new PictureBox(4815 / kTwipsPerPixel, 4455 / kTwipsPerPixel, this);
  Picture1->setGeometry(Twips(960, 0, 4815, 4455));

  Timer1 = new QTimer(this);
  Timer1->setInterval(1);
  Timer1->setSingleShot(true);
  Timer1->setTimerType(Qt::PreciseTimer);

  Label4 = new Label("Label4", this);
  Label4->setGeometry(Twips(120, 4080, 615, 255));
  Label3 = new Label("Max Hold:", this);
  Label3->setGeometry(Twips(4320, 4680, 735, 255));
  Label2 = new Label("Sig max:", this);
  Label2->setGeometry(Twips(1560, 4680, 615, 255));
  Label1 = new Label("Freq Peak:", this);
  Label1->setGeometry(Twips(0, 4680, 855, 255));
  lblMaxHold = new Label("Label1", this);
  lblMaxHold->setGeometry(Twips(5160, 4680, 735, 255));
  lblMax = new Label("Label1", this);
  lblMax->setGeometry(Twips(2280, 4680, 615, 255));
  lblFreq = new Label("Label1", this);
  lblFreq->setGeometry(Twips(840, 4680, 615, 255));
  lblReflvl = new Label("Ref: 0 dB", this);
  lblReflvl->setGeometry(Twips(-120, 240, 975, 255));

  setTabOrder(scrReflvl, cmdClear);

  // Captions end against their figures, figures start at their boxes' left; the left strip's
  // two are centred, which puts lblReflvl over the scroll bar and inside the window.
  for (Label* caption : {Label1, Label2, Label3}) {
    caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    caption->setContentsMargins(0, 0, 3, 0);
  }
  for (Label* left : {lblReflvl, Label4}) left->setAlignment(Qt::AlignCenter);
  const auto room = [this](Label* label) {
    return Room(label->contentsRect().translated(label->pos()), label->alignment(), rect());
  };
  QStyleOptionButton button;
  button.initFrom(cmdClear);
  const QRect button_text =
      style()->subElementRect(QStyle::SE_PushButtonContents, &button, cmdClear);
  setFont(CaptionFont(
      {{room(lblReflvl), "Ref: -60 dB"},
       {room(lblFreq), "11025 Hz"},
       {room(lblMax), "-137 dB anl"},
       {room(lblMaxHold), "-137 dB anl"},
       {room(Label4), "-140"},
       {room(Label1), "Freq Peak:"},
       {room(Label2), "Sig max:"},
       {room(Label3), "Max Hold:"},
       {Room(button_text.translated(cmdClear->pos()), Qt::AlignCenter, rect()), "MaxHold Clear"}}));

  analyser_ = std::make_unique<Analyser>(
      Form1Controls{*lblReflvl, *lblMaxHold, *lblMax, *lblFreq, *Label4, Picture1->Surface()});

  if (!message_box) {
    message_box = [this](const std::string& text) { ShowOutageBox(text); };
  }
  SetMessageBox(std::move(message_box));

  capture_signal_ = new QSocketNotifier(CaptureSignalDescriptor(), QSocketNotifier::Read, this);
  capture_signal_->setEnabled(false);
  retry_timer_ = new QTimer(this);
  retry_timer_->setSingleShot(true);
  connect(capture_signal_, &QSocketNotifier::activated, this, [this] { Wake(); });
  connect(retry_timer_, &QTimer::timeout, this, [this] { Wake(); });
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });
  connect(cmdClear, &QPushButton::clicked, this, [this] { cmdClear_Click(); });
  connect(scrReflvl, &QScrollBar::valueChanged, this, [this] { scrReflvl_Change(); });

  BuildPlotMenu();
  Picture1->SetPointerText([this](QPoint pixel) { return PointerText(pixel); });
}

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
  Handler([this, view] { analyser_->SetView(view); });
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

QByteArray Form1::PictureBytes() {
  // grab() draws the window at its device pixel ratio: a screen at scale 2 gets twice the
  // pixels each way, as it shows them.
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  grab().toImage().save(&buffer, "PNG");
  return bytes;
}

std::string Form1::Save(const QString& what, const QString& path, const QByteArray& bytes) {
  // QSaveFile writes beside the target under a temporary name and renames it over the target
  // only once everything is written; a failure leaves the target as it was and no temporary.
  // Unbuffered, so that a write that fails (a full disk) fails here: QSaveFile's commit()
  // flushes its buffer without looking at the result, and would rename a cut-off file into
  // place.
  QSaveFile file(path);
  if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
      file.write(bytes) == bytes.size() && file.error() == QFileDevice::NoError && file.commit())
    return {};
  const std::string why = "Cannot save the " + what.toStdString() + " as " + path.toStdString() +
                          ": " + file.errorString().toStdString();
  file.cancelWriting();
  return why;
}

std::string Form1::SavePicture(const QString& path) {
  return Save(QStringLiteral("picture"), path, PictureBytes());
}

std::string Form1::SaveLevels(const QString& path) {
  return Save(QStringLiteral("levels"), path, QByteArray::fromStdString(analyser_->LevelsCsv()));
}

void Form1::AskSave(const QString& what, const QString& filter, const QString& suffix,
                    QByteArray bytes) {
  const auto place = suffix == QStringLiteral("png") ? QStandardPaths::PicturesLocation
                                                     : QStandardPaths::DocumentsLocation;
  const QString name =
      QStandardPaths::writableLocation(place) + QStringLiteral("/quorvane-spectrum-") +
      QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss.")) + suffix;
  auto* dialog = new QFileDialog(this, QStringLiteral("Save ") + what, name, filter);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setDefaultSuffix(suffix);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog, &QFileDialog::fileSelected, this,
          [this, what, bytes = std::move(bytes)](const QString& path) {
            const std::string wrong = Save(what, path, bytes);
            if (wrong.empty()) return;
            if (save_box_) save_box_->done(QMessageBox::Ok);
            save_box_ = OpenMessageBox(wrong, this);
          });
  // Not exec(): the analyser goes on while the dialog is open.
  dialog->open();
}

void Form1::AskSavePicture() {
  // The picture as it is when asked, not when the name is given.
  AskSave(QStringLiteral("picture"), QStringLiteral("PNG pictures (*.png)"), QStringLiteral("png"),
          PictureBytes());
}

void Form1::AskSaveLevels() {
  AskSave(QStringLiteral("levels"), QStringLiteral("CSV tables (*.csv)"), QStringLiteral("csv"),
          QByteArray::fromStdString(analyser_->LevelsCsv()));
}

Form1::~Form1() {
  timer1_enabled_ = false;
  Timer1->stop();
  analyser_.reset();
  SetMessageBox({});
}

void Form1::Form_Activate() {
  Handler([this] {
    analyser_->StartUp();
    Timer1->setInterval(1);
    timer1_enabled_ = true;
    capture_signal_->setEnabled(true);
    ArmRetry();
  });
}

void Form1::Wake() {
  if (!timer1_enabled_ || Timer1->isActive()) return;
  const qint64 since_ns = last_tick_.isValid() ? last_tick_.nsecsElapsed() : -1;
  if (since_ns >= 0 && since_ns < Timer1->interval() * qint64{1'000'000}) return Timer1->start();
  Timer1_Timer();
}

void Form1::ArmRetry() {
  const auto due = analyser_->RetryDue();
  if (!due) return retry_timer_->stop();
  const auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::steady_clock::now());
  retry_timer_->start(std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds{0}));
}

void Form1::Timer1_Timer() {
  last_tick_.start();
  bool shown = false;
  Handler([this, &shown] { shown = analyser_->Timer1_Timer(); });
  if (!timer1_enabled_) return;
  ArmRetry();
  // A tooltip over the plot follows the new trace under a pointer that stays where it is.
  if (shown && QToolTip::isVisible() && Picture1->underMouse())
    Picture1->ShowPointerText(Picture1->mapFromGlobal(QCursor::pos()));
  if (shown && outage_box_ && !box_closing_) {
    box_closing_ = true;
    QTimer::singleShot(kBoxLingerMs, outage_box_.data(),
                       [box = outage_box_.data()] { box->done(QMessageBox::Ok); });
  }
}

void Form1::ShowOutageBox(const std::string& text) {
  QMetaObject::invokeMethod(
      this,
      [this, text] {
        // Capture may be running again already; the message would not be true any more.
        if (!timer1_enabled_ || analyser_->Capture().blnRecording) return;
        if (outage_box_) outage_box_->done(QMessageBox::Ok);
        outage_box_ = OpenMessageBox(text, this);
        box_closing_ = false;
      },
      Qt::QueuedConnection);
}

void Form1::Form_QueryUnload() {
  timer1_enabled_ = false;
  Timer1->stop();
  retry_timer_->stop();
  capture_signal_->setEnabled(false);
  if (outage_box_) outage_box_->done(QMessageBox::Ok);
  Handler([this] { analyser_->Form_QueryUnload(); });
}

void Form1::cmdClear_Click() {
  Handler([this] { analyser_->cmdClear_Click(); });
}

void Form1::scrReflvl_Change() {
  Handler([this] { analyser_->scrReflvl_Change(static_cast<Integer>(scrReflvl->value())); });
}

void Form1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Start-up runs once, when the window first appears. Running it on every activation would
  // reset the reference level and the max hold whenever the window regains focus, and with
  // no sound input would bring the error box back each time it is dismissed.
  if (activated_) return;
  activated_ = true;
  QMetaObject::invokeMethod(
      this, [this] { Form_Activate(); }, Qt::QueuedConnection);
}

void Form1::closeEvent(QCloseEvent* event) {
  Form_QueryUnload();
  event->accept();
}

}  // namespace quorvane
