#include <QStyle>
#include <QStyleOptionButton>
#include <utility>

#include "apps/spectrum/caption_fonts.h"
#include "apps/spectrum/form1.h"

namespace quorvane {

namespace {

// Positions and sizes are given in twips; 15 make a pixel at 96 dots per inch.
constexpr int kTwipsPerPixel = 15;

QRect Twips(int left, int top, int width, int height) {
  return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
               height / kTwipsPerPixel);
}

}  // namespace

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

}  // namespace quorvane
