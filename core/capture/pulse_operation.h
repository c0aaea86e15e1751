#pragma once

#include <pulse/operation.h>

namespace quorvane::wavein {

// Lets go of a query in flight, if any: its callback is not called after this.
inline void CancelOperation(pa_operation*& operation) {
  if (operation == nullptr) return;
  pa_operation_cancel(operation);
  pa_operation_unref(operation);
  operation = nullptr;
}

}  // namespace quorvane::wavein
