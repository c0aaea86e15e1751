#pragma once

#include <stdexcept>
#include <string>

namespace quorvane {

// The one run-time error of the analyser. It ends the procedure it is raised in and every
// procedure above it up to the event handler, which is the only place that catches it.
class RuntimeError : public std::runtime_error {
 public:
  enum class Kind { Overflow, SubscriptOutOfRange, FloatingPoint };

  RuntimeError(Kind kind, const std::string& detail);

  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// The user-facing name of each kind, e.g. "Overflow".
const char* KindName(RuntimeError::Kind kind) noexcept;

[[noreturn]] void RaiseOverflow(const std::string& detail);
[[noreturn]] void RaiseSubscript(const std::string& detail);
[[noreturn]] void RaiseFloatingPoint(const std::string& detail);

}  // namespace quorvane
