// The floor under the analyser's CPU use: a window of the same toolkit whose 1 ms timer does
// nothing. Measured beside the analyser by bench/live/measure-live.

#include <QApplication>
#include <QTimer>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QWidget window;
  window.setFixedSize(388, 338);
  window.show();
  QTimer timer;
  timer.setInterval(1);
  QObject::connect(&timer, &QTimer::timeout, [] {});
  timer.start();
  return application.exec();
}
