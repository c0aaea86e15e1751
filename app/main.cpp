#include <QApplication>

#include "app/form1.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  quorvane::SetApplicationTitle();
  quorvane::Form1 form;
  form.show();
  return application.exec();
}
