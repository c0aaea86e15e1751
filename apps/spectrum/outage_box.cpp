#include <QGuiApplication>
#include <QMessageBox>
#include <QString>

#include "apps/spectrum/form1.h"

namespace quorvane {

QMessageBox* OpenMessageBox(const std::string& text, QWidget* parent) {
  auto* box = new QMessageBox(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(),
                              QString::fromStdString(text), QMessageBox::Ok, parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  // Not exec(): its own event loop would hold up the program inside whatever opened the box.
  box->open();
  return box;
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

}  // namespace quorvane
