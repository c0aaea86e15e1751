#pragma once

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "analyser/analyser.h"
#include "apps/spectrum/controls.h"

namespace quorvane {

// The title message boxes carry.
inline constexpr const char* kApplicationTitle = "Tessavox";
inline constexpr const char* kFormCaption = "Quorvane Spectrum";

// Gives the running application its title, its desktop entry and its icon. Call once after
// creating the QApplication.
void SetApplicationTitle();

// Opens a message box modal to `parent` (it blocks the window's controls, not the program):
// an OK button only, no icon, titled with the application title, gone when closed. Returns at
// once.
QMessageBox* OpenMessageBox(const std::string& text, QWidget* parent);

// The analyser's one window. Its event handlers are the boundary at which a run-time error
// ends what the handler was doing; nothing is logged or shown for it.
//
// Timer1 keeps its 1 ms interval, but ticks only when there is something to do: the capture's
// signal and the analyser's next retry wake the window (see Analyser), and the tick follows at
// once, or when Timer1's millisecond since the last tick has passed. So an idle window sleeps.
class Form1 : public QWidget {
 public:
  // `message_box` shows the capture's error texts; by default ShowOutageBox.
  explicit Form1(MessageBoxFunction message_box = {});
  ~Form1() override;

  // Shows why capture stopped, once the running event handler has finished (at start-up,
  // after the grid is drawn and the timer runs): a box modal to the window that capture goes
  // on behind, and that closes by itself once capture runs again, its message no longer true:
  // kBoxLingerMs after the first block the window shows again, so that the box is seen to go
  // because the sound came back.
  void ShowOutageBox(const std::string& text);
  static constexpr int kBoxLingerMs = 1000;
  // The box ShowOutageBox opened, while it is open.
  QMessageBox* OutageBox() const { return outage_box_; }
  // Timer1's enabled flag: set by start-up, cleared when the window closes.
  bool Timer1Enabled() const { return timer1_enabled_; }

  // Event handlers.
  void Form_Activate();
  void Timer1_Timer();
  void Form_QueryUnload();
  void cmdClear_Click();
  void scrReflvl_Change();

  Analyser& analyser() { return *analyser_; }

  // The plot's context menu: "Save picture…" (Ctrl+S), "Save levels…" (Ctrl+Shift+S), and the
  // two views, "270–2700 Hz" (the default) and "20 Hz–11 kHz, logarithmic".
  QMenu* PlotMenu() const { return plot_menu_; }
  // Shows the plot across `view`: the trace and grid at once, the wide view's frequencies
  // under its grid; the readouts do not change.
  void SetView(PlotView view);
  // What the tooltip says at a pixel of Picture1: frequency, the trace's level and the
  // nearest note ("1003.5 Hz\n70.0 dB\nB5 +27.4 cents"), or nothing off the grid.
  QString PointerText(QPoint pixel) const;

  // Snapshots, saved whole or not at all (written under a temporary name, then renamed over
  // `path`): the window as it looks now at its device pixels as PNG, or Analyser::LevelsCsv.
  // What went wrong, or nothing; the Ask forms take the snapshot, ask for a name with a file
  // dialog that does not hold up the window, save, and show what went wrong in a box.
  std::string SavePicture(const QString& path);
  std::string SaveLevels(const QString& path);
  void AskSavePicture();
  void AskSaveLevels();
  // The box a failed save opened, while it is open.
  QMessageBox* SaveErrorBox() const { return save_box_; }

  // The plot menu's "Input" submenu, filled from the sound server each time it opens:
  // "Follow the desktop's input" (the default), the inputs by description, the monitors of
  // outputs in a submenu of their own. Not offered when PULSE_SOURCE names the input.
  QMenu* InputMenu() const { return input_menu_; }
  // Moves the running stream to `source`, or back to the desktop's input when empty; what went
  // wrong, or nothing. The menu shows what went wrong in a box.
  std::string ChooseInput(const std::string& source);

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
  // Something may be there to do: tick now, or when Timer1's interval since the last tick ends.
  void Wake();
  void ArmRetry();
  void BuildPlotMenu();
  void FillInputMenu();
  // Asks for a file name, then saves `bytes` there; `what` names them in the dialog and the box.
  void AskSave(const QString& what, const QString& filter, const QString& suffix, QByteArray bytes);
  std::string Save(const QString& what, const QString& path, const QByteArray& bytes);
  QByteArray PictureBytes();

  std::unique_ptr<Analyser> analyser_;
  bool activated_ = false;
  bool timer1_enabled_ = false;
  QElapsedTimer last_tick_;
  QSocketNotifier* capture_signal_;
  QTimer* retry_timer_;
  QPointer<QMessageBox> outage_box_;
  bool box_closing_ = false;  // the outage box goes shortly: blocks are shown again
  QMenu* plot_menu_ = nullptr;
  QAction* band_view_ = nullptr;
  QAction* wide_view_ = nullptr;
  QPointer<QMessageBox> save_box_;
  QMenu* input_menu_ = nullptr;
  std::string chosen_input_;  // empty: the desktop's
  QString named_input_;       // PULSE_SOURCE, read once
};

}  // namespace quorvane
