#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "common/runtime_error.h"

namespace quorvane::test {

// The kind of run-time error `action` raised, or nothing when it returned normally.
template <typename F>
std::optional<RuntimeError::Kind> Raised(F&& action) {
  try {
    action();
  } catch (const RuntimeError& error) {
    return error.kind();
  }
  return std::nullopt;
}

}  // namespace quorvane::test
