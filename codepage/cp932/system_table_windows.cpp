// Code page 932 as Windows converts it. On Windows the tables are not our
// generated data (cp932_table.cpp) but what the system's code page 932
// makes of every byte and every pair, asked once at start-up, and their
// UTF-8 forms worked out from that: litconv's scanner then escapes each
// character exactly as MultiByteToWideChar converts it. The code page is
// named, not taken from the system's ANSI setting: the files are code page
// 932 whatever the machine's default.
#define NOMINMAX  // std::min, not the macro
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "codepage/cp932/cp932.hpp"

namespace codepage::cp932 {

namespace {

// The one UTF-16 unit that MultiByteToWideChar makes of `bytes`; 0 when
// they make no single character (with MB_ERR_INVALID_CHARS in `flags`, also
// when the system has no mapping for them).
char16_t system_character(Byte const* bytes, int n, DWORD flags) {
    wchar_t wide[2];
    int const units = MultiByteToWideChar(932, flags, reinterpret_cast<char const*>(bytes), n, wide, 2);
    return units == 1 ? static_cast<char16_t>(wide[0]) : 0;
}

// Single bytes take the system's answer whatever it is (A0 and FD-FF map
// to private-use characters on Windows); lead bytes stay 0.
std::array<char16_t, 256> system_single_bytes() {
    std::array<char16_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        auto const byte = static_cast<Byte>(b);
        if (!is_lead_byte(byte)) table[b] = system_character(&byte, 1, 0);
    }
    return table;
}

// A pair the system does not map stays 0, so that the scanner copies it
// rather than escaping the system's default character.
std::array<char16_t, lead_count * 256> system_pairs() {
    std::array<char16_t, lead_count * 256> table{};
    std::size_t row = 0;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!is_lead_byte(static_cast<Byte>(lead))) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            Byte const pair[2] = {static_cast<Byte>(lead), static_cast<Byte>(trail)};
            table[row * 256 + static_cast<std::size_t>(trail)] = system_character(pair, 2, MB_ERR_INVALID_CHARS);
        }
        ++row;
    }
    return table;
}

}  // namespace

const std::array<char16_t, 256> single_byte = system_single_bytes();
const std::array<char16_t, lead_count * 256> double_byte = system_pairs();
const Utf8Tables utf8 = make_utf8_tables(single_byte, double_byte);  // after the two above

}  // namespace codepage::cp932
