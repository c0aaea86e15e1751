#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "app/analyser_state.h"
#include "capture/module1.h"
#include "common/numeric.h"
#include "display/plot_surface.h"

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
class Analyser {
 public:
  explicit Analyser(const Form1Controls& controls);
  // Releases a capture still running, so the device and buffer never outlive the analyser.
  ~Analyser();
  Analyser(const Analyser&) = delete;
  Analyser& operator=(const Analyser&) = delete;

  // The start-up sequence up to the first grid; the window then starts Timer1 at 1 ms.
  void StartUp();

  // One tick of Timer1: when a recorded block is ready, analyse it, restart the capture and
  // show the spectrum. While a start has failed, tries again every 2 s. False when no block
  // was shown.
  bool Timer1_Timer();

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

  void SetProbe(CycleProbe* probe) { probe_ = probe; }

  AnalyserState& State() { return *state_; }
  const AnalyserState& State() const { return *state_; }
  CaptureState& Capture() { return capture_; }
  const CaptureState& Capture() const { return capture_; }

 private:
  Form1Controls controls_;
  std::unique_ptr<AnalyserState> state_;  // about 460 KB
  CaptureState capture_;
  CycleProbe* probe_ = nullptr;
  bool in_tick_ = false;  // a message box opened by a tick runs its own event loop
  std::chrono::steady_clock::time_point last_start_{};
};

}  // namespace quorvane
