#include "apps/analyse/analyser_host.h"

#include <QApplication>
#include <QString>
#include <QWidget>
#include <cstdio>

#include "apps/analyse/readout_row.h"
#include "apps/analyse/sound_input.h"
#include "common/identity.h"

namespace quorvane {

AnalyserHost::AnalyserHost(bool with_window, bool with_toolkit, int& argc, char** argv) {
  if (with_window || with_toolkit) StartToolkit(with_window, argc, argv);
  if (!with_window) {
    headless_ = std::make_unique<HeadlessControls>();
    analyser_ = std::make_unique<Analyser>(headless_->Controls());
    return;
  }
  form_ = std::make_unique<Form1>([](const std::string& text) {
    std::fprintf(stderr, "quorvane-analyse: %s\n", text.c_str());
  });
}

void AnalyserHost::StartToolkit(bool with_window, int& argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Standard error carries this tool's own messages only, not the toolkit's notes about
  // its surroundings (a missing runtime folder and the like).
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg) {
      std::fprintf(stderr, "quorvane-analyse: %s\n", text.toLocal8Bit().constData());
    }
  });
  // Text on a picture needs fonts, not widgets: the lighter application starts sooner.
  if (with_window) {
    application_ = std::make_unique<QApplication>(argc, argv);
    SetApplicationTitle();
  } else {
    application_ = std::make_unique<QGuiApplication>(argc, argv);
  }
}

BlockReadouts AnalyserHost::Readouts(std::int64_t block) const {
  BlockReadouts r =
      form_ ? ReadoutTexts(*form_->lblFreq, *form_->lblMax, *form_->lblMaxHold, *form_->Label4)
            : ReadoutTexts(headless_->lblFreq, headless_->lblMax, headless_->lblMaxHold,
                           headless_->Label4);
  r.block = block;
  r.start_seconds = static_cast<double>(block) * kBlockSamples / SoundInput::kRate;
  return r;
}

std::string AnalyserHost::RowAfter(std::int64_t block, std::optional<double> line_bins,
                                   double a4_hz, bool json) const {
  BlockReadouts readouts = Readouts(block);
  AddLine(readouts, line_bins, a4_hz);
  return ReadoutRow(readouts, json);
}

void AnalyserHost::SavePicture(const std::string& path) {
  if (form_ && !form_->grab().save(QString::fromStdString(path), "PNG")) {
    throw SoundInputError("cannot write the picture " + path);
  }
}

}  // namespace quorvane
