#pragma once

#include <QApplication>
#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "apps/spectrum/form1.h"
#include "capture/wave_drivers.h"
#include "tests/apps/spectrum/plot_geometry.h"

namespace quorvane::test {

inline const QRgb kBlack = qRgb(0, 0, 0);
inline const QRgb kGrey = qRgb(0xC0, 0xC0, 0xC0);
inline const QRgb kYellow = qRgb(0xFF, 0xFF, 0x00);

// Runs events until `done` holds or `milliseconds` pass; returns `done`.
template <typename Done>
bool ProcessEventsUntil(Done done, int milliseconds = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < milliseconds) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return done();
}

// Lets queued events run for a while, e.g. the start-up that showing the window schedules.
inline void ProcessEvents(int milliseconds = 20) {
  ProcessEventsUntil([] { return false; }, milliseconds);
}

// A window whose message boxes are recorded as well as shown.
struct RecordedForm {
  std::vector<std::string> boxes;
  std::unique_ptr<Form1> form = std::make_unique<Form1>([this](const std::string& text) {
    boxes.push_back(text);
    form->ShowOutageBox(text);
  });

  Analyser& analyser() { return form->analyser(); }
  AnalyserState& state() { return form->analyser().State(); }
  CaptureState& capture() { return form->analyser().Capture(); }

  // Shows the window and lets its start-up run.
  void ShowAndStart() {
    form->show();
    ProcessEvents();
  }
};

// What Picture1 shows on the screen.
inline QImage Shown(Form1& form) {
  return form.Picture1->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

}  // namespace quorvane::test
