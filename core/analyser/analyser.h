#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analyser/analyser_state.h"
#include "capture/module1.h"
#include "common/numeric.h"
#include "display/frequency_scale.h"
#include "display/plot_surface.h"
#include "dsp/note.h"

namespace quorvane {

// A control whose caption the procedures read and write: a label in the window, a plain
// text in a headless run.
class CaptionControl {
 public:
  virtual ~CaptionControl() = default;
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& text) = 0;
};

// A caption with no widget behind it.
class TextCaption : public CaptionControl {
 public:
  explicit TextCaption(std::string text = {}) : text_(std::move(text)) {}
  std::string Caption() const override { return text_; }
  void SetCaption(const std::string& text) override { text_ = text; }

 private:
  std::string text_;
};

// The controls of Form1 that the procedures touch, by their names.
struct Form1Controls {
  CaptionControl& lblReflvl;
  CaptionControl& lblMaxHold;
  CaptionControl& lblMax;
  CaptionControl& lblFreq;
  CaptionControl& Label4;
  PlotSurface& Picture1;
};

// What the plot shows across: the band of the trace mapping's texts (270..2700 Hz, linear, as
// the window always has), or the whole spectrum from 20 Hz to half the sample rate in octaves.
enum class PlotView { kBand, kWide };
inline constexpr double kWideLowHz = 20;
inline constexpr double kWideHighHz = 11025;

// The plot under the pointer: the frequency there, the trace's level there (the highest
// smoothed level of the bins that the pixel's column spans, the nearest bin when it spans
// none: where the drawn trace peaks in that column) and the nearest note, A4 = 440 Hz.
struct PointerReading {
  double hz = 0;
  double level_db = 0;
  Note note;
};

class Analyser;

// Watches the acquisition cycle from outside, for measuring runs; the shipped analyser
// installs none. Called on the window's thread.
class CycleProbe {
 public:
  virtual ~CycleProbe() = default;
  virtual void GridDrawnAtStartUp(const Analyser&) {}
  // A tick found the block done; its samples are still readable.
  virtual void BlockDone(const Analyser&) {}
  // The block's spectrum, trace and readouts have been drawn.
  virtual void BlockShown(const Analyser&) {}
};

// Form1's procedures over its state, the capture module and the controls above, without any
// widget: the window calls them from its event handlers; tests and headless runs call them
// directly. Run-time errors (RuntimeError) pass through to the caller, which is where an
// event handler ends.
//
// Driving the cycle. Timer1_Timer is the tick of a 1 ms timer, but a tick that would find
// nothing to do need not be delivered: it has work only when the capture's signal is raised
// (capture/module1.h) or when RetryDue() has passed. So whoever runs the analyser sleeps until
// one of the two, then ticks; the window does it with a QSocketNotifier and a timer, and a
// program without Qt with poll():
//
//   for (;;) {
//     pollfd signal{CaptureSignalDescriptor(), POLLIN, 0};
//     const auto due = analyser.RetryDue();
//     const auto wait = due ? std::max<long>(0, ceil<milliseconds>(*due - steady_clock::now())
//                                                   .count())
//                           : -1;
//     poll(&signal, 1, static_cast<int>(wait));
//     analyser.Timer1_Timer();  // takes the signal down itself
//   }
//
// Everything here runs on that one thread.
class Analyser {
 public:
  // How often a start that failed (or still waits for the sound server) is tried again, at the
  // latest; the capture's signal brings a retry sooner when the server answers.
  static constexpr std::chrono::milliseconds kRetryInterval{1000};

  explicit Analyser(const Form1Controls& controls);
  // Releases a capture still running, so the device and buffer never outlive the analyser.
  ~Analyser();
  Analyser(const Analyser&) = delete;
  Analyser& operator=(const Analyser&) = delete;

  // The start-up sequence up to the first grid; the window then starts Timer1 at 1 ms.
  void StartUp();

  // One tick of Timer1: when a recorded block is ready, analyse it, restart the capture and
  // show the spectrum. While no capture runs (a start failed, or waits for the sound server),
  // tries again when the capture signals and when RetryDue() has passed. False when no block
  // was shown. Nothing happens before StartUp or after Form_QueryUnload.
  bool Timer1_Timer();

  // When a tick has work even without the capture's signal: the next retry of a start. None
  // while capture runs, before start-up and after the window closed.
  std::optional<std::chrono::steady_clock::time_point> RetryDue() const;

  // The window closes: capture stops, and nothing starts it again.
  void Form_QueryUnload();
  void cmdClear_Click();
  // `value` is the reference-level scroll bar's new value.
  void scrReflvl_Change(Integer value);

  void GetAudio();
  void DrawSpectrum();
  // DrawSpectrum's drawing, once the level pass has updated the levels and figures.
  void ShowSpectrum();
  void CalcTrace();
  void DrawGrid();
  void DrawTrace();

  // Shows the plot across `view`, redrawn at once from the current levels once started up;
  // the readouts stay as they are.
  void SetView(PlotView view);
  PlotView View() const { return view_; }
  // The frequency axis of the view.
  FrequencyAxis ViewAxis() const;
  // The wide view's grid lines, in Hz: the 1-2-5 steps of each decade from 20 Hz up.
  static std::vector<double> WideGridHz();
  // What the plot shows at pixel (column, row) of Picture1, `width` x `height` pixels; nothing
  // outside the grid.
  std::optional<PointerReading> ReadAt(int column, int row, int width, int height) const;
  // The current block as CSV: "bin,hz,level_db,smoothed_db" and a row for each of bins
  // 0..N/2 (the block's own level, as the level pass takes it before smoothing, and the
  // smoothed one the trace shows), then the readouts and the block's precise peak frequency
  // as comment lines ("# ...").
  std::string LevelsCsv() const;

  void SetProbe(CycleProbe* probe) { probe_ = probe; }

  AnalyserState& State() { return *state_; }
  const AnalyserState& State() const { return *state_; }
  CaptureState& Capture() { return capture_; }
  const CaptureState& Capture() const { return capture_; }

 private:
  void StartAgain(std::chrono::steady_clock::time_point now);

  enum class Phase { kBeforeStartUp, kRunning, kClosed };

  Form1Controls controls_;
  std::unique_ptr<AnalyserState> state_;  // about 460 KB
  CaptureState capture_;
  CycleProbe* probe_ = nullptr;
  Phase phase_ = Phase::kBeforeStartUp;
  PlotView view_ = PlotView::kBand;
  std::chrono::steady_clock::time_point next_retry_{};
  int blocks_cut_short_ = 0;  // in a row, since the last whole block
};

}  // namespace quorvane
