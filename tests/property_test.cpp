// Random texts, fixed seeds: litconv's scanner and txtconv's decoder, fed in
// random blocks, against the references (see properties.hpp).
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "codepage/cp932/cp932.hpp"
#include "properties.hpp"

namespace {

using codepage::Byte;

struct Pairs {
    std::vector<std::string> mapped;
    std::vector<std::string> mapped_trail_5c;
    std::vector<std::string> unmapped_high;  // lead byte and a byte from 0x80 up that it does not map with
};

Pairs const& pairs() {
    static Pairs const all = [] {
        Pairs p;
        for (int lead = 0x81; lead <= 0xFC; ++lead) {
            if (!codepage::is_lead_byte(static_cast<Byte>(lead))) continue;
            for (int trail = 0x40; trail <= 0xFF; ++trail) {
                std::string const pair{static_cast<char>(lead), static_cast<char>(trail)};
                bool const mapped = codepage::decode_pair(static_cast<Byte>(lead), static_cast<Byte>(trail)) != 0;
                if (mapped) p.mapped.push_back(pair);
                if (mapped && trail == 0x5C) p.mapped_trail_5c.push_back(pair);
                if (!mapped && trail >= 0x80) p.unmapped_high.push_back(pair);
            }
        }
        return p;
    }();
    return all;
}

template <typename T>
T const& pick(std::mt19937_64& random, std::vector<T> const& from) {
    return from[random() % from.size()];
}

// A short piece of text, drawn towards what the scanner and decoder decide
// on: quotes, apostrophes, backslashes, prefixes, comments, raw literals,
// splices, directives, widening macros, hex digits, line ends,
// pairs (also with 5C as trail byte), stray lead bytes (also before a quote,
// a backslash or a line feed), katakana and the other bytes from 0x80 up.
std::string fragment(std::mt19937_64& random, bool line_feeds) {
    static std::vector<std::string> const fixed = {
        "\"", "\"", "\"", "'", "'", "\\", "\\", "L", "u", "U", "u8", "xL", " ", "'\"'", "'\\\"'",
        "\\\"", "\\\\", "G", "_", "\r", std::string(1, '\0'), "\x80", "\xA0", "\xFD", "\xFE", "\xFF"};
    // Comments, raw literals, splices, numbers and directives.
    static std::vector<std::string> const tokens = {
        "/", "*", "//", "/*", "*/", "R\"", "u8R\"", "LR\"", "R\"x(", ")x\"", "(", ")", ")\"", "x",
        "\\\n", "\\\r\n", "1'0", "0x7F'", "#include ", "#", "include", "<", ">", "__has_include(",
        "\n#if ", "#import", "_s", std::string(17, 'd'), "/**/", "/*\n*/", "# /**/ include ", "#include /* c */ ",
        "9'", "0x1'f", "'_",
        // What a Unicode build widens: the macros' calls, and literals joined to wide ones.
        "TEXT(", "_T", "__TEXT", "_CRT_WIDE", "TEXTX", " (", "L\"a\"", "u\"\"", "LR\"(", "\n#define A ", ", ", ")_s"};
    switch (random() % 14) {
        case 12:
        case 13: return pick(random, tokens);
        case 0:
        case 1:
        case 2: return pick(random, fixed);
        case 3: return std::string(1, "0123456789ABCDEFabcdef"[random() % 22]);
        case 4: return pick(random, pairs().mapped);
        case 5: return pick(random, pairs().mapped_trail_5c);
        case 6: return std::string(1, static_cast<char>(0xA1 + random() % (0xDF - 0xA1 + 1)));
        case 7: return pick(random, pairs().mapped).substr(0, 1);  // a lead byte: the next fragment decides
        case 8: return pick(random, pairs().unmapped_high);
        case 9: return line_feeds ? (random() % 2 ? "\n" : "\r\n") : " ";
        case 10: return std::string(1, static_cast<char>(random() % 256));
        default: return std::string(1 + random() % 20, static_cast<char>('a' + random() % 26));
    }
}

std::string random_text(std::uint64_t seed, std::size_t size, bool line_feeds = true) {
    std::mt19937_64 random(seed);
    std::string text;
    while (text.size() < size) text += fragment(random, line_feeds);
    return text;
}

std::string hex(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 400)) {
        static constexpr char digits[] = "0123456789ABCDEF";
        auto const b = static_cast<Byte>(c);
        out += {digits[b >> 4], digits[b & 0xF], ' '};
    }
    return out;
}

constexpr std::uint64_t short_texts = 4000;

// Runs `test` with every variant in `variants`, saying which ran.
template <typename Variants, typename Test>
void for_each(char const* what, Variants const& variants, Test test) {
    for (auto const& variant : variants) {
        std::printf("[ VARIANT  ] %s %.*s\n", what, static_cast<int>(variant.name.size()), variant.name.data());
        SCOPED_TRACE(variant.name);
        test(variant.function);
    }
}

void for_each_sweep(auto test) { for_each("sweep", properties::sweep_kernels(), test); }
void for_each_decoder(auto test) { for_each("decoder", properties::decoders(), test); }

TEST(EscapeProperties, ShortTexts) {
    for_each_sweep([](auto* kernel) {
        for (std::uint64_t seed = 0; seed < short_texts; ++seed) {
            std::string const text = random_text(seed, seed % 300);
            ASSERT_EQ(properties::escape_faults(kernel, text, seed), "") << "seed " << seed << ": " << hex(text);
        }
    });
}

TEST(DecodeProperties, ShortTexts) {
    for_each_decoder([](auto* decoder) {
        for (std::uint64_t seed = 0; seed < short_texts; ++seed) {
            std::string const text = random_text(seed, seed % 300);
            ASSERT_EQ(properties::decode_faults(decoder, text, seed), "") << "seed " << seed << ": " << hex(text);
        }
    });
}

// What makes the most output per input byte: half-width katakana, each on
// its own, in a u8R literal with the longest delimiter, which is closed and
// reopened around every one of them.
TEST(EscapeProperties, RawLiteralPiecesFitTheBound) {
    std::string text = "u8R\"0123456789abcdef(";
    for (int i = 0; i < 100; ++i) text += "\xB1" "a";
    text += ")0123456789abcdef\"";
    for_each_sweep([&text](auto* kernel) {
        for (std::uint64_t seed = 0; seed < 64; ++seed)
            ASSERT_EQ(properties::escape_faults(kernel, text, seed), "") << seed;
    });
}

// Lines longer than a 64 KiB block, so that literals, pairs and escapes
// straddle the programs' own block boundaries.
TEST(EscapeProperties, LinesLongerThanABlock) {
    for_each_sweep([](auto* kernel) {
        for (std::uint64_t seed = 0; seed < 8; ++seed) {
            std::string const text = random_text(seed, 150'000, seed % 2 == 0);
            ASSERT_EQ(properties::escape_faults(kernel, text, seed), "") << "seed " << seed;
        }
    });
}

TEST(DecodeProperties, LinesLongerThanABlock) {
    for_each_decoder([](auto* decoder) {
        for (std::uint64_t seed = 0; seed < 8; ++seed) {
            std::string const text = random_text(seed, 150'000, seed % 2 == 0);
            ASSERT_EQ(properties::decode_faults(decoder, text, seed), "") << "seed " << seed;
        }
    });
}

}  // namespace
