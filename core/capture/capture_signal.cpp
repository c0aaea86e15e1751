#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "capture/module1.h"
#include "capture/wave_driver.h"

namespace quorvane {

namespace {

// Made on first use and kept for the whole run: whoever waits on it may hold it in a poll set
// at any time. Non-blocking, so taking an unset signal returns at once.
int Descriptor() {
  static const int descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return descriptor;
}

}  // namespace

int CaptureSignalDescriptor() {
  return Descriptor();
}

bool TakeCaptureSignal() {
  std::uint64_t count = 0;
  ssize_t got;
  do {
    got = read(Descriptor(), &count, sizeof count);
  } while (got < 0 && errno == EINTR);
  return got == sizeof count && count > 0;
}

}  // namespace quorvane

namespace quorvane::wavein {

void RaiseCaptureSignal() {
  const std::uint64_t one = 1;
  ssize_t put;
  do {
    put = write(Descriptor(), &one, sizeof one);
  } while (put < 0 && errno == EINTR);
  // EAGAIN: the counter is at its limit, so the signal is set anyway.
}

}  // namespace quorvane::wavein
