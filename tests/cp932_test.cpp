#include "codepage/cp932/cp932.hpp"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using codepage::Byte;

std::string decode(std::string_view input, std::size_t piece = 1 << 20,
                   codepage::DecodeFunction* decode_to_utf8 = codepage::decode_to_utf8) {
    codepage::Decoder decoder;
    std::string result;
    std::vector<Byte> out;
    std::size_t offset = 0;
    while (true) {
        std::size_t const n = std::min(piece, input.size() - offset);
        bool const last = offset + n == input.size();
        out.resize(codepage::max_utf8_length(n));
        std::span<const Byte> const block(reinterpret_cast<const Byte*>(input.data()) + offset, n);
        result.append(reinterpret_cast<const char*>(out.data()), decode_to_utf8(decoder, block, last, out));
        offset += n;
        if (last) return result;
    }
}

std::string iconv_decode(std::string_view input) {
    iconv_t const cd = iconv_open("UTF-8", "CP932");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in(input), out(4 * input.size() + 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t in_left = in.size(), out_left = out.size();
    std::size_t const r = iconv(cd, &src, &in_left, &dst, &out_left);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1)) return "<invalid>";
    out.resize(out.size() - out_left);
    return out;
}

TEST(Cp932Table, EveryPairAgreesWithIconv) {
    int mapped = 0;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!codepage::is_lead_byte(static_cast<Byte>(lead))) continue;
        for (int trail = 0; trail < 256; ++trail) {
            std::string const pair{static_cast<char>(lead), static_cast<char>(trail)};
            if (codepage::decode_pair(static_cast<Byte>(lead), static_cast<Byte>(trail)) == 0) continue;
            ++mapped;
            ASSERT_EQ(decode(pair), iconv_decode(pair)) << std::hex << lead << ' ' << trail;
        }
    }
    EXPECT_EQ(mapped, 9604);
}

// The converters look every two bytes up in the pair table, ASCII and
// single bytes first among them: only a mapped pair may have a form there.
TEST(Cp932Table, UTF8FormsExactlyForMappedPairsAndSingleBytes) {
    auto const& utf8 = codepage::cp932::utf8;
    for (int first = 0; first < 256; ++first) {
        auto const lead = static_cast<Byte>(first);
        EXPECT_EQ(utf8.single[lead].length == 0, codepage::is_lead_byte(lead)) << std::hex << first;
        for (int second = 0; second < 256; ++second) {
            auto const trail = static_cast<Byte>(second);
            bool const mapped = codepage::is_lead_byte(lead) && codepage::decode_pair(lead, trail) != 0;
            ASSERT_EQ(utf8.pair[codepage::pair_index(lead, trail)].length != 0, mapped)
                << std::hex << first << ' ' << second;
        }
    }
}

TEST(Cp932Table, SingleBytes) {
    for (int b = 0; b < 256; ++b) {
        if (codepage::is_lead_byte(static_cast<Byte>(b)) || b == 0x80 || b == 0xA0 || b >= 0xFD) continue;
        std::string const one{static_cast<char>(b)};
        EXPECT_EQ(decode(one), iconv_decode(one)) << std::hex << b;
    }
    // Windows' own mappings for the bytes iconv rejects.
    EXPECT_EQ(decode("\x80"), "\xC2\x80");
    EXPECT_EQ(decode("\xA0"), "\xEF\xA3\xB0");
    EXPECT_EQ(decode("\xFD\xFE\xFF"), "\xEF\xA3\xB1\xEF\xA3\xB2\xEF\xA3\xB3");
    // User-defined area.
    EXPECT_EQ(decode("\xF0\x40"), "\xEE\x80\x80");
    EXPECT_EQ(decode("\xF9\xFC"), "\xEE\x9D\x97");
}

TEST(Cp932Decode, BadBytes) {
    using namespace std::string_literals;
    // A lead byte that begins no mapped pair gives U+FFFD and takes a
    // non-ASCII byte with it; an ASCII byte stands on its own.
    EXPECT_EQ(decode("\x85\x40"), "\xEF\xBF\xBD@");
    EXPECT_EQ(decode("\x81\n"), "\xEF\xBF\xBD\n");
    EXPECT_EQ(decode("\x81\"\\"), "\xEF\xBF\xBD\"\\");
    EXPECT_EQ(decode("\x81\0"s), "\xEF\xBF\xBD\0"s);
    EXPECT_EQ(decode("\x85\x81\x40"), "\xEF\xBF\xBD@");
    EXPECT_EQ(decode("\x85\x95\x5C"), "\xEF\xBF\xBD\\");  // 85 95 is one character, then a backslash
    EXPECT_EQ(decode("\x81\xFD" "a"), "\xEF\xBF\xBD" "a");
    EXPECT_EQ(decode("a\x81"), "a\xEF\xBF\xBD");
}

TEST(Cp932Decode, PairsCutAtEveryOffset) {
    std::string const text = "\x8A\xBF\x8E\x9A\x95\x5C\x85\x40\xB1\x81\x81\x81\x81\x81";
    std::string const whole = decode(text);
    for (std::size_t piece = 1; piece <= text.size(); ++piece) EXPECT_EQ(decode(text, piece), whole) << piece;
}

// One rule for what a character is, the decoder's and litconv's: a lead
// byte takes the byte after it unless that byte is ASCII and the two make
// no mapped pair.
TEST(Cp932NextChar, LeadBytesTakeAllButAscii) {
    struct Case {
        std::string_view text;
        std::size_t length;
    };
    using namespace std::string_view_literals;
    for (auto const& [text, length] : {
             Case{"\x8A\xBF", 2}, {"\x95\x5C", 2}, {"\x81\x40", 2},  // mapped pairs, ASCII trail bytes too
             {"\x85\x95", 2}, {"\x85\x81", 2}, {"\x81\xFD", 2}, {"\xEB\xFC", 2},  // no pair, one U+FFFD
             {"\x85\x40", 1}, {"\x85\x5C", 1}, {"\x81\"", 1}, {"\x81\n", 1}, {"\x81\0"sv, 1},  // ASCII stays
             {"\x81", 1},                                                      // at the end
             {"a", 1}, {"\0"sv, 1}, {"\xB1\xB1", 1}, {"\x80\x81", 1}, {"\xA0\x40", 1}, {"\xFD\x81", 1},
         }) {
        std::span<const Byte> const bytes(reinterpret_cast<const Byte*>(text.data()), text.size());
        EXPECT_EQ(codepage::next_char(bytes), length) << testing::PrintToString(text);
    }
}

// Where characters begin, told by looking back from a byte.
TEST(Cp932NextChar, StartsCharacterLooksBackOverLeadBytes) {
    struct Case {
        std::string_view text;
        std::size_t at;
        bool starts;
    };
    for (auto const& [text, at, starts] : {
             Case{"\x95\x5C", 1, false}, {"\x95\x5C", 2, true}, {"\x95\x5C\x5C", 2, true},
             {"\x85\x5C", 1, true},                                  // 85 5C is no pair: 5C is a backslash
             {"\x85\x95\x5C", 2, true},                             // 85 95 is one character
             {"a\x81\x81\x5C", 3, true}, {"a\x81\x81\x81\x5C", 4, false}, {"\xB1\x95\x5C", 2, false},
             {"\x8A\xBF\x95\x5C", 3, false}, {"\x82\xE0\x95\x5C", 3, false},  // E0 is a lead byte's value
             {"\x81", 1, true}, {"\x81\x81", 1, false}, {"", 0, true},
         }) {
        std::span<const Byte> const bytes(reinterpret_cast<const Byte*>(text.data()), text.size());
        EXPECT_EQ(codepage::starts_character(bytes, at), starts) << testing::PrintToString(text) << " at " << at;
    }
}

// The decoder takes long stretches of ASCII and mapped pairs 64 bytes at a
// time where the processor has AVX-512 (and 16 bytes of ASCII at a time
// everywhere), and byte by byte near the end of a block. Fed one byte at a
// time it never has the 128 bytes the wide loop needs, so the two must
// agree; for valid text both must agree with iconv as well.

// Japanese text as it comes: runs of pairs of every length between runs of
// ASCII. Among the pairs are kana, kanji, punctuation, pairs whose trail
// byte is ASCII (5C among them) or a lead-byte value, and pairs whose UTF-8
// form has two bytes (Greek, Cyrillic, the degree sign).
std::string japanese(std::uint32_t seed, std::size_t size) {
    static std::vector<std::string> const pairs = {
        "\x82\xA0", "\x82\xF1", "\x83\x41", "\x83\x96", "\x8A\xBF", "\x8E\x9A", "\x95\x5C", "\x88\x9F",
        "\xE0\x40", "\xEA\xA4", "\x81\x42", "\x81\x75", "\x83\x9F", "\x83\xBF", "\x84\x40", "\x84\x91",
        "\x81\x8B", "\x81\x7E", "\xFA\x40", "\xF0\x40"};
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < size) {
        for (auto k = random() % 40; k > 0; --k) text += pairs[random() % pairs.size()];
        for (auto k = random() % 20; k > 0; --k) text += "ab \n\"\\0"[random() % 7];
    }
    return text;
}

// Every variant of the decoder that the processor supports, the portable
// one always; each test says which ran.
std::vector<codepage::DecodeFunction*> decoders() {
    std::vector<codepage::DecodeFunction*> supported;
    for (auto const& variant : codepage::decoder_variants()) {
        bool const runs = codepage::cpu::supported(variant, codepage::cpu::features());
        std::printf("[ VARIANT  ] decoder %.*s: %s\n", static_cast<int>(variant.name.size()), variant.name.data(),
                    runs ? "run" : "not supported here");
        if (runs) supported.push_back(variant.function);
    }
    return supported;
}

void expect_agreement(codepage::DecodeFunction* variant, std::string const& text, bool valid, std::string const& what) {
    std::string const whole = decode(text, text.size(), variant);
    EXPECT_EQ(whole, decode(text, 1, variant)) << what;
    if (valid) {
        EXPECT_EQ(whole, iconv_decode(text)) << what;
    }
}

TEST(WideDecoder, JapaneseText) {
    for (auto* variant : decoders())
        for (std::uint32_t seed = 0; seed < 200; ++seed)
            expect_agreement(variant, japanese(seed, 2000), true, std::to_string(seed));
}

TEST(WideDecoder, PairsAtEveryPosition) {
    // Every pair cut by a 64-byte boundary at every phase, runs of 32 pairs
    // (a full window) and more.
    std::string const run = japanese(7, 300);
    for (auto* variant : decoders()) {
        for (std::size_t shift = 0; shift < 130; ++shift) {
            std::string const text = std::string(shift, 'x') + run + std::string(200, 'y') + std::string(100, '\x88');
            expect_agreement(variant, text.substr(0, text.size() - 101), true, "shift " + std::to_string(shift));
            expect_agreement(variant, text, false, "lead bytes at the end, shift " + std::to_string(shift));
        }
    }
}

TEST(WideDecoder, OddBytesAtEveryPosition) {
    // What the wide loop leaves to the portable one: half-width katakana,
    // the other single bytes from 0x80 up, pairs that are not mapped, stray
    // lead bytes before ASCII.
    std::string const text = japanese(11, 400);
    for (auto* variant : decoders()) {
        for (std::string const odd : {"\xB1", "\x80", "\xA0", "\xFD", "\x85\x40", "\x81\x0A", "\xEB\xFC", "\x85\x95"}) {
            for (std::size_t at = 0; at < 300; at += 7) {
                std::string changed = text;
                changed.insert(at, odd);
                expect_agreement(variant, changed, false, "at " + std::to_string(at));
            }
        }
    }
}

}  // namespace
