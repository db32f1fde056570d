#pragma once

#include <cstdint>

namespace codepage {

// Both programs read and write byte text.
using Byte = std::uint8_t;

}  // namespace codepage
