// Code page 932 mapping tables (generated data, see tools/gen_cp932_table.py).
#pragma once

#include <array>

namespace codepage::cp932 {

inline constexpr int lead_count = 60;  // 81-9F and E0-FC

extern const std::array<char16_t, 256> single_byte;
extern const std::array<char16_t, lead_count * 256> double_byte;

}  // namespace codepage::cp932
