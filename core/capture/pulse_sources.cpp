#include "capture/pulse_sources.h"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <functional>
#include <memory>

namespace quorvane {

namespace {

// One connection on a main loop of its own, run on the caller's thread until what it waits
// for has come or the time is up.
class Asking {
 public:
  explicit Asking(std::chrono::milliseconds timeout)
      : deadline_(std::chrono::steady_clock::now() + timeout),
        loop_(pa_mainloop_new(), pa_mainloop_free) {
    context_ = pa_context_new(pa_mainloop_get_api(loop_.get()), "Quorvane Spectrum inputs");
  }
  ~Asking() {
    if (context_ == nullptr) return;
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  Asking(const Asking&) = delete;
  Asking& operator=(const Asking&) = delete;

  // Connected, or what stood in the way.
  std::string Connect() {
    if (context_ == nullptr) return "Sound server: out of memory.";
    // The server the capture uses: PULSE_SERVER, else the session's; never a new one.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return Error();
    const bool ready = Wait([this] {
      const pa_context_state_t state = pa_context_get_state(context_);
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!ready) return "Sound server: no answer.";
    return pa_context_get_state(context_) == PA_CONTEXT_READY ? std::string() : Error();
  }

  // Runs the loop until `done` holds (true) or the time is up or the connection fails (false).
  bool Wait(const std::function<bool()>& done) {
    while (!done()) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline_ - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return false;
      if (pa_mainloop_prepare(loop_.get(), static_cast<int>(left.count())) < 0 ||
          pa_mainloop_poll(loop_.get()) < 0 || pa_mainloop_dispatch(loop_.get()) < 0)
        return false;
    }
    return true;
  }

  // Runs `operation` to its end; false when it could not start or did not end in time.
  bool Finish(pa_operation* operation) {
    if (operation == nullptr) return false;
    const bool ended =
        Wait([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    if (!ended) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return ended;
  }

  std::string Error() const {
    return "Sound server: " + std::string(pa_strerror(pa_context_errno(context_))) + ".";
  }
  pa_context* context() const { return context_; }

 private:
  std::chrono::steady_clock::time_point deadline_;
  std::unique_ptr<pa_mainloop, void (*)(pa_mainloop*)> loop_;
  pa_context* context_ = nullptr;
};

// This process's record stream: its index and the index of its source.
struct Recording {
  std::uint32_t output = PA_INVALID_INDEX, source = PA_INVALID_INDEX;
};

bool FindRecording(Asking& asking, Recording& found) {
  return asking.Finish(pa_context_get_source_output_info_list(
      asking.context(),
      [](pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
        if (eol != 0 || info == nullptr) return;
        const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
        if (pid == nullptr || std::to_string(getpid()) != pid) return;
        *static_cast<Recording*>(userdata) = {info->index, info->source};
      },
      &found));
}

}  // namespace

std::optional<SoundSources> ListSoundSources(std::chrono::milliseconds timeout, std::string& why) {
  Asking asking(timeout);
  if (why = asking.Connect(); !why.empty()) return std::nullopt;
  struct Listed {
    SoundSources sources;
    std::vector<std::uint32_t> indices;
  } listed;
  const bool sources = asking.Finish(pa_context_get_source_info_list(
      asking.context(),
      [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
        if (eol != 0 || info == nullptr) return;
        auto& list = *static_cast<Listed*>(userdata);
        list.sources.sources.push_back({info->name,
                                        info->description ? info->description : info->name,
                                        info->monitor_of_sink != PA_INVALID_INDEX});
        list.indices.push_back(info->index);
      },
      &listed));
  const bool server = asking.Finish(pa_context_get_server_info(
      asking.context(),
      [](pa_context*, const pa_server_info* info, void* userdata) {
        if (info != nullptr && info->default_source_name != nullptr)
          static_cast<Listed*>(userdata)->sources.default_source = info->default_source_name;
      },
      &listed));
  Recording recording;
  if (!sources || !server || !FindRecording(asking, recording)) {
    why = "Sound server: no answer.";
    return std::nullopt;
  }
  for (std::size_t i = 0; i < listed.indices.size(); ++i) {
    if (listed.indices[i] == recording.source)
      listed.sources.recording_from = listed.sources.sources[i].name;
  }
  return listed.sources;
}

std::string MoveRecording(const std::string& source, std::chrono::milliseconds timeout) {
  Asking asking(timeout);
  if (std::string why = asking.Connect(); !why.empty()) return why;
  std::string target = source;
  if (target.empty()) {
    const bool asked = asking.Finish(pa_context_get_server_info(
        asking.context(),
        [](pa_context*, const pa_server_info* info, void* userdata) {
          if (info != nullptr && info->default_source_name != nullptr)
            *static_cast<std::string*>(userdata) = info->default_source_name;
        },
        &target));
    if (!asked || target.empty()) return "Sound server: no input to follow.";
  }
  Recording recording;
  if (!FindRecording(asking, recording)) return "Sound server: no answer.";
  if (recording.output == PA_INVALID_INDEX) return "Not recording now: nothing to move.";
  int moved = -1;
  const bool answered = asking.Finish(pa_context_move_source_output_by_name(
      asking.context(), recording.output, target.c_str(),
      [](pa_context*, int success, void* userdata) { *static_cast<int*>(userdata) = success; },
      &moved));
  if (!answered) return "Sound server: no answer.";
  if (moved != 1) return "Cannot record from " + target + ": " + asking.Error();
  return {};
}

}  // namespace quorvane
