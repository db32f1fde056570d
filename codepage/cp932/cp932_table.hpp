// Code page 932 as tables: the code point of every byte and every pair, and
// the UTF-8 form of each, which the converters look up. On Linux
// they are generated data (tools/gen_cp932_table.py writes cp932_table.cpp)
// and the compiler works out the UTF-8 forms, so a run starts with nothing
// to build; on Windows they are what the system's own conversion makes of
// every byte and pair, asked at start-up (system_table_windows.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "byte.hpp"

namespace codepage {

constexpr bool is_lead_byte(Byte b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

inline constexpr char16_t replacement_character = 0xFFFD;

// A character's UTF-8 form ready to be stored: every character of code page
// 932 is in the Basic Multilingual Plane, so three bytes hold it. The fast
// kernels store all four bytes of the entry at once and advance by
// `length`; what the fourth byte leaves behind is overwritten next.
struct Utf8Char {
    Byte bytes[3];
    Byte length;  // 0: a lead byte (single) or a pair that is not mapped
};

// The UTF-8 form of `cp`; a surrogate code point becomes U+FFFD.
constexpr Utf8Char utf8_char(char16_t cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = replacement_character;
    if (cp < 0x80) return {{static_cast<Byte>(cp), 0, 0}, 1};
    if (cp < 0x800) return {{static_cast<Byte>(0xC0 | (cp >> 6)), static_cast<Byte>(0x80 | (cp & 0x3F)), 0}, 2};
    return {{static_cast<Byte>(0xE0 | (cp >> 12)), static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F)),
             static_cast<Byte>(0x80 | (cp & 0x3F))},
            3};
}

// Index of the two bytes lead+trail in the pair table: any two bytes, so
// that a look-up also tells whether the first is a lead byte at all.
constexpr std::size_t pair_index(Byte lead, Byte trail) { return std::size_t{lead} << 8 | trail; }

// The UTF-8 form of every single byte and every pair, so that a character
// costs one table look-up instead of two and a branchy encoding. Only the
// rows of lead bytes hold anything (60 KiB of the pair table); the rest are
// zeroes.
struct Utf8Tables {
    Utf8Char single[256];      // by byte; length 0 for lead bytes
    Utf8Char pair[256 * 256];  // by pair_index; length 0 unless a mapped pair
};

namespace cp932 {

inline constexpr int lead_count = 60;  // 81-9F and E0-FC

// The row of lead byte `lead` in the tables of pairs: 81-9F, then E0-FC.
constexpr std::size_t lead_row(Byte lead) { return lead <= 0x9F ? lead - 0x81u : lead - 0xE0u + 31; }

// Code point of each byte that is not a lead byte; 0 for lead bytes.
extern const std::array<char16_t, 256> single_byte;
// Code point of each pair, 256 trail bytes per lead byte, lead bytes 81-9F
// then E0-FC; 0 where the pair is not mapped.
extern const std::array<char16_t, lead_count * 256> double_byte;
// The UTF-8 forms of the same characters: make_utf8_tables of the two.
extern const Utf8Tables utf8;

}  // namespace cp932

// The UTF-8 forms of the code points `single` and `pairs`, laid out as
// cp932::single_byte and double_byte are.
constexpr Utf8Tables make_utf8_tables(std::span<const char16_t, 256> single,
                                      std::span<const char16_t, cp932::lead_count * 256> pairs) {
    Utf8Tables tables{};
    for (int b = 0; b < 256; ++b) {
        if (!is_lead_byte(static_cast<Byte>(b))) tables.single[b] = utf8_char(single[static_cast<std::size_t>(b)]);
    }
    std::size_t row = 0;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!is_lead_byte(static_cast<Byte>(lead))) continue;
        for (int trail = 0; trail < 256; ++trail) {
            char16_t const cp = pairs[row * 256 + static_cast<std::size_t>(trail)];
            if (cp != 0) tables.pair[pair_index(static_cast<Byte>(lead), static_cast<Byte>(trail))] = utf8_char(cp);
        }
        ++row;
    }
    return tables;
}

}  // namespace codepage
