#include <QCursor>
#include <QMessageBox>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <chrono>

#include "apps/spectrum/form1.h"
#include "apps/spectrum/run_handler.h"

namespace quorvane {

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
  RunHandler([this, &shown] { shown = analyser_->Timer1_Timer(); });
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

}  // namespace quorvane
