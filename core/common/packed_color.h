#pragma once

#include <cstdint>

namespace quorvane {

// A 24-bit RGB colour packed with red in the low byte: 0xFFFF is yellow, 0xC0C0C0 light grey.
using PackedColor = std::uint32_t;

}  // namespace quorvane
