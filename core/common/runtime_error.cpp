#include "common/runtime_error.h"

namespace quorvane {

const char* KindName(RuntimeError::Kind kind) noexcept {
  switch (kind) {
    case RuntimeError::Kind::Overflow:
      return "Overflow";
    case RuntimeError::Kind::SubscriptOutOfRange:
      return "Subscript out of range";
    case RuntimeError::Kind::FloatingPoint:
      return "Floating-point fault";
  }
  return "Run-time error";
}

RuntimeError::RuntimeError(Kind kind, const std::string& detail)
    : std::runtime_error(std::string(KindName(kind)) + ": " + detail), kind_(kind) {}

void RaiseOverflow(const std::string& detail) {
  throw RuntimeError(RuntimeError::Kind::Overflow, detail);
}
void RaiseSubscript(const std::string& detail) {
  throw RuntimeError(RuntimeError::Kind::SubscriptOutOfRange, detail);
}
void RaiseFloatingPoint(const std::string& detail) {
  throw RuntimeError(RuntimeError::Kind::FloatingPoint, detail);
}

}  // namespace quorvane
