#include "capture/last_failure.h"

#include <mutex>
#include <utility>

#include "capture/wave_driver.h"

namespace quorvane::wavein {

namespace {

struct LastFailure {
  std::mutex mutex;
  MMRESULT code = MMSYSERR_NOERROR;
  std::string detail;
};

LastFailure& TheLastFailure() {
  static LastFailure failure;
  return failure;
}

}  // namespace

MMRESULT Fail(MMRESULT code, std::string detail) {
  LastFailure& last = TheLastFailure();
  std::lock_guard lock(last.mutex);
  last.code = code;
  last.detail = std::move(detail);
  return code;
}

std::string LastFailureDetail(MMRESULT code) {
  LastFailure& last = TheLastFailure();
  std::lock_guard lock(last.mutex);
  return last.code == code ? last.detail : std::string();
}

}  // namespace quorvane::wavein
