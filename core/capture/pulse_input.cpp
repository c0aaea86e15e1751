#include "capture/pulse_input.h"

#include <utility>

#include "capture/pulse_operation.h"

namespace quorvane::wavein {

void InputFinder::Find(pa_context* context, Done done) {
  Cancel();
  context_ = context;
  done_ = std::move(done);
  if (!named_.empty()) return Finish({true, named_, {MMSYSERR_NOERROR, {}}});
  Query(pa_context_get_server_info(context_, OnServerInfo, this));
}

void InputFinder::Cancel() {
  CancelOperation(operation_);
  done_ = nullptr;
}

void InputFinder::Query(pa_operation* operation) {
  if (operation_ != nullptr) pa_operation_unref(operation_);
  operation_ = operation;
  if (operation_ == nullptr) Lost();
}

void InputFinder::Finish(const InputChoice& choice) {
  if (operation_ != nullptr) {
    pa_operation_unref(operation_);
    operation_ = nullptr;
  }
  Done done = std::exchange(done_, nullptr);
  if (done) done(choice);
}

void InputFinder::Lost() {
  Finish({false, {}, FailureFromPulse(pa_context_errno(context_), PulseStage::kPreparing, false)});
}

void InputFinder::OnServerInfo(pa_context* context, const pa_server_info* info, void* userdata) {
  auto* self = static_cast<InputFinder*>(userdata);
  if (!self->done_) return;
  self->default_is_input_ = false;
  if (info == nullptr || info->default_source_name == nullptr) return self->ListSources();
  self->Query(pa_context_get_source_info_by_name(context, info->default_source_name,
                                                 OnDefaultSource, self));
}

void InputFinder::OnDefaultSource(pa_context*, const pa_source_info* info, int eol,
                                  void* userdata) {
  auto* self = static_cast<InputFinder*>(userdata);
  if (!self->done_) return;
  if (eol == 0 && info != nullptr) {
    self->default_is_input_ = info->monitor_of_sink == PA_INVALID_INDEX;
    return;
  }
  if (self->default_is_input_) return self->Finish({true, {}, {MMSYSERR_NOERROR, {}}});
  self->ListSources();
}

void InputFinder::ListSources() {
  lowest_index_ = PA_INVALID_INDEX;
  lowest_name_.clear();
  Query(pa_context_get_source_info_list(context_, OnSourceListed, this));
}

void InputFinder::OnSourceListed(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* self = static_cast<InputFinder*>(userdata);
  if (!self->done_) return;
  if (eol == 0 && info != nullptr) {
    if (info->monitor_of_sink == PA_INVALID_INDEX &&
        (self->lowest_index_ == PA_INVALID_INDEX || info->index < self->lowest_index_)) {
      self->lowest_index_ = info->index;
      self->lowest_name_ = info->name;
    }
    return;
  }
  if (eol < 0) return self->Lost();
  if (self->lowest_index_ == PA_INVALID_INDEX) {
    return self->Finish(
        {false, {}, {MMSYSERR_BADDEVICEID, "The sound server has no input source."}});
  }
  self->Finish({true, self->lowest_name_, {MMSYSERR_NOERROR, {}}});
}

}  // namespace quorvane::wavein
