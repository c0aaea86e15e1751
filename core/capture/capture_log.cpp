#include "capture/capture_log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorvane::wavein {

bool CaptureLogging() {
  static const bool logging = [] {
    const char* debug = std::getenv("QUORVANE_DEBUG");
    return debug != nullptr && std::strstr(debug, "capture") != nullptr;
  }();
  return logging;
}

void CaptureLog(const char* format, ...) {
  if (!CaptureLogging()) return;
  using Clock = std::chrono::steady_clock;
  static const Clock::time_point first = Clock::now();
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  // The analyser does not follow va_start through the format attribute; the list is started.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  const double seconds = std::chrono::duration<double>(Clock::now() - first).count();
  std::fprintf(stderr, "quorvane capture %9.3f: %s\n", seconds, line);
}

}  // namespace quorvane::wavein
