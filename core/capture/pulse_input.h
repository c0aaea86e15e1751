#pragma once

// Finding device 0 on a connected sound server, in this order: the source the user named
// (PULSE_SOURCE); else the server's default source unless it is a monitor of an output; else
// the lowest-numbered source that is not a monitor.

#include <pulse/pulseaudio.h>

#include <functional>
#include <string>

#include "capture/pulse_result.h"

namespace quorvane::wavein {

struct InputChoice {
  bool found = false;
  // The source to record from; empty for the server's default source, which the stream then
  // follows when the desktop chooses another.
  std::string source;
  PulseFailure failure{MMSYSERR_NOERROR, {}};  // when not found
};

// Runs on the main loop's thread under its lock, as a chain of server queries.
class InputFinder {
 public:
  using Done = std::function<void(const InputChoice&)>;

  // `named`: the source the user named, empty for none. Read once by whoever makes the
  // finder, on the application's thread: the environment is not read here.
  explicit InputFinder(std::string named) : named_(std::move(named)) {}
  ~InputFinder() { Cancel(); }
  InputFinder(const InputFinder&) = delete;
  InputFinder& operator=(const InputFinder&) = delete;

  // Starts finding device 0; `done` is called once with the answer, possibly before this
  // returns. A search still under way is cancelled first.
  void Find(pa_context* context, Done done);
  // No answer comes after this.
  void Cancel();
  // Whether the user named the source.
  bool named() const { return !named_.empty(); }

 private:
  void Query(pa_operation* operation);
  void Finish(const InputChoice& choice);
  void ListSources();
  void Lost();

  static void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata);
  static void OnDefaultSource(pa_context*, const pa_source_info* info, int eol, void* userdata);
  static void OnSourceListed(pa_context*, const pa_source_info* info, int eol, void* userdata);

  const std::string named_;
  pa_context* context_ = nullptr;
  pa_operation* operation_ = nullptr;  // the query in flight
  Done done_;
  bool default_is_input_ = false;
  std::uint32_t lowest_index_ = PA_INVALID_INDEX;
  std::string lowest_name_;
};

}  // namespace quorvane::wavein
