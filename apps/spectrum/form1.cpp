#include "apps/spectrum/form1.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QShowEvent>

#include "apps/spectrum/run_handler.h"

namespace quorvane {

Form1::~Form1() {
  timer1_enabled_ = false;
  Timer1->stop();
  analyser_.reset();
  SetMessageBox({});
}

void Form1::Form_Activate() {
  RunHandler([this] {
    analyser_->StartUp();
    Timer1->setInterval(1);
    timer1_enabled_ = true;
    capture_signal_->setEnabled(true);
    ArmRetry();
  });
}

void Form1::Form_QueryUnload() {
  timer1_enabled_ = false;
  Timer1->stop();
  retry_timer_->stop();
  capture_signal_->setEnabled(false);
  if (outage_box_) outage_box_->done(QMessageBox::Ok);
  RunHandler([this] { analyser_->Form_QueryUnload(); });
}

void Form1::cmdClear_Click() {
  RunHandler([this] { analyser_->cmdClear_Click(); });
}

void Form1::scrReflvl_Change() {
  RunHandler([this] { analyser_->scrReflvl_Change(static_cast<Integer>(scrReflvl->value())); });
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
