#pragma once

#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "app/analyser.h"
#include "app/controls.h"

namespace quorvane {

// The title message boxes carry.
inline constexpr const char* kApplicationTitle = "Tessavox";
inline constexpr const char* kFormCaption = "Quorvane Spectrum";

// Gives the running application its title, its desktop entry and its icon. Call once after
// creating the QApplication.
void SetApplicationTitle();

// Shows a message box: modal, an OK button only, no icon, titled with the application title.
void ShowMessageBox(const std::string& text, QWidget* parent);

// The analyser's one window. Its event handlers are the boundary at which a run-time error
// ends what the handler was doing; nothing is logged or shown for it.
class Form1 : public QWidget {
 public:
  // `message_box` shows the capture's error texts; by default a real modal box.
  explicit Form1(MessageBoxFunction message_box = {});
  ~Form1() override;

  // Event handlers.
  void Form_Activate();
  void Timer1_Timer();
  void Form_QueryUnload();
  void cmdClear_Click();
  void scrReflvl_Change();

  Analyser& analyser() { return *analyser_; }

  // The controls, in creation order.
  QPushButton* cmdClear;
  QScrollBar* scrReflvl;
  PictureBox* Picture1;
  QTimer* Timer1;
  Label* Label4;
  Label* Label3;
  Label* Label2;
  Label* Label1;
  Label* lblMaxHold;
  Label* lblMax;
  Label* lblFreq;
  Label* lblReflvl;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  std::unique_ptr<Analyser> analyser_;
  bool activated_ = false;
};

}  // namespace quorvane
