#include "app/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QFontMetricsF>
#include <QIcon>
#include <QMessageBox>
#include <QShowEvent>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>
#include <utility>
#include <vector>

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

void ShowMessageBox(const std::string& text, QWidget* parent) {
  QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(),
                  QString::fromStdString(text), QMessageBox::Ok, parent);
  box.exec();
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
    message_box = [this](const std::string& text) { ShowMessageBox(text, this); };
  }
  SetMessageBox(std::move(message_box));

  connect(Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });
  connect(cmdClear, &QPushButton::clicked, this, [this] { cmdClear_Click(); });
  connect(scrReflvl, &QScrollBar::valueChanged, this, [this] { scrReflvl_Change(); });
}

Form1::~Form1() {
  Timer1->stop();
  analyser_.reset();
  SetMessageBox({});
}

void Form1::Form_Activate() {
  Handler([this] {
    analyser_->StartUp();
    Timer1->setInterval(1);
    Timer1->start();
  });
}

void Form1::Timer1_Timer() {
  Handler([this] { analyser_->Timer1_Timer(); });
}

void Form1::Form_QueryUnload() {
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
