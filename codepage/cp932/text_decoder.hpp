// Decoding a whole text from code page 932 to UTF-8 the way the platform
// does. Linux has no code page 932 of its own: the portable decoder of
// cp932.hpp does the work. Windows converts with its code page 932 whatever
// its ANSI code page (MultiByteToWideChar, then WideCharToMultiByte to
// UTF-8, in system_decoder_windows.cpp) and gives its own answer for bytes
// that are not valid code page 932. Either way a lead byte at the end of
// one block waits for the first byte of the next, and `out` must hold
// max_utf8_length(in.size()) bytes.
#pragma once

#include <cstddef>
#include <span>

#include "byte.hpp"
#include "cp932.hpp"

namespace codepage {

#ifdef _WIN32
struct TextDecoder {
    int held_lead = -1;
};
std::size_t text_to_utf8(TextDecoder& decoder, std::span<const Byte> in, bool last, std::span<Byte> out);
#else
using TextDecoder = Decoder;
inline std::size_t text_to_utf8(TextDecoder& decoder, std::span<const Byte> in, bool last,
                                std::span<Byte> out) {
    return decode_to_utf8(decoder, in, last, out);
}
#endif

}  // namespace codepage
