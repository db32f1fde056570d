// Decoding on Windows: the system's own code page 932 converts, so that
// txtconv gives Windows' answers even for bytes that are not valid.
#include <algorithm>
#include <climits>

#ifndef NOMINMAX  // std::min, not the macro
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "text_decoder.hpp"

namespace codepage {

namespace {

// How much of `text`, which begins on a character boundary, is whole
// characters as MultiByteToWideChar cuts them. A byte that is no lead byte
// always ends a character, whether it stands alone or completes a pair; and
// every lead byte of code page 932 is a valid second byte, so a run of them
// pairs off from its start. Only an odd run at the end leaves a lead byte
// whose partner is still to come.
std::size_t whole_characters(std::span<const Byte> text) {
    std::size_t run = 0;
    while (run < text.size() && IsDBCSLeadByteEx(932, text[text.size() - 1 - run])) ++run;
    return text.size() - run % 2;
}

// Bytes converted in one go; each becomes at most one UTF-16 unit.
constexpr std::size_t piece_size = 16 * 1024;

// Converts `bytes`, whole characters, to UTF-8 at the start of `out` and
// returns the number of bytes written there.
std::size_t convert_whole(std::span<const Byte> bytes, std::span<Byte> out) {
    if (bytes.empty()) return 0;
    wchar_t wide[piece_size];
    int const units = MultiByteToWideChar(932, 0, reinterpret_cast<char const*>(bytes.data()),
                                          static_cast<int>(bytes.size()), wide, static_cast<int>(piece_size));
    if (units <= 0) return 0;
    int const n = WideCharToMultiByte(CP_UTF8, 0, wide, units, reinterpret_cast<char*>(out.data()),
                                      static_cast<int>(std::min<std::size_t>(out.size(), INT_MAX)), nullptr,
                                      nullptr);
    return static_cast<std::size_t>(n > 0 ? n : 0);
}

}  // namespace

std::size_t text_to_utf8(TextDecoder& decoder, std::span<const Byte> in, bool last, std::span<Byte> out) {
    std::size_t written = 0;
    if (decoder.held_lead >= 0 && (!in.empty() || last)) {
        // The held lead byte and the byte after it end on a character
        // boundary, whether they make a pair or not.
        Byte const pair[2] = {static_cast<Byte>(decoder.held_lead), in.empty() ? Byte{0} : in[0]};
        std::size_t const n = in.empty() ? 1 : 2;
        written += convert_whole(std::span<const Byte>(pair, n), out);
        in = in.subspan(n - 1);
        decoder.held_lead = -1;
    }
    while (!in.empty()) {
        std::span<const Byte> const piece = in.first(std::min(in.size(), piece_size));
        bool const final_piece = piece.size() == in.size();
        std::size_t const take = final_piece && last ? piece.size() : whole_characters(piece);
        written += convert_whole(piece.first(take), out.subspan(written));
        in = in.subspan(take);
        if (final_piece && !in.empty()) {
            decoder.held_lead = in[0];
            break;
        }
    }
    return written;
}

}  // namespace codepage
