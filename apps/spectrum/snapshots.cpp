#include <QBuffer>
#include <QDateTime>
#include <QFileDialog>
#include <QMessageBox>
#include <QSaveFile>
#include <QStandardPaths>
#include <utility>

#include "apps/spectrum/form1.h"

namespace quorvane {

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
  std::string why = "Cannot save the " + what.toStdString() + " as " + path.toStdString() + ": " +
                    file.errorString().toStdString();
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

}  // namespace quorvane
