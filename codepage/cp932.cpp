#include "cp932.hpp"

namespace codepage {

std::size_t encode_utf8(char32_t cp, Byte* out) {
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = replacement_character;
    if (cp < 0x80) {
        out[0] = static_cast<Byte>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<Byte>(0xC0 | (cp >> 6));
        out[1] = static_cast<Byte>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<Byte>(0xE0 | (cp >> 12));
        out[1] = static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<Byte>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<Byte>(0xF0 | (cp >> 18));
    out[1] = static_cast<Byte>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<Byte>(0x80 | (cp & 0x3F));
    return 4;
}

std::size_t decode_to_utf8(Decoder& decoder, std::span<const Byte> in, bool last,
                           std::span<Byte> out) {
    Byte* const begin = out.data();
    Byte* w = begin;
    std::size_t i = 0;
    if (decoder.pending_lead >= 0 && !in.empty()) {
        Byte const lead = static_cast<Byte>(decoder.pending_lead);
        decoder.pending_lead = -1;
        char16_t const cp = decode_pair(lead, in[0]);
        if (cp != 0) {
            w += encode_utf8(cp, w);
            i = 1;
        } else {
            w += encode_utf8(replacement_character, w);
            if (in[0] >= 0x80) i = 1;
        }
    }
    std::size_t const n = in.size();
    while (i < n) {
        Byte const b = in[i];
        if (b < 0x80) {
            // ASCII maps to itself; runs of it are the common case.
            *w++ = b;
            ++i;
            continue;
        }
        if (!is_lead_byte(b)) {
            w += encode_utf8(decode_single(b), w);
            ++i;
            continue;
        }
        if (i + 1 == n) {
            decoder.pending_lead = b;
            ++i;
            break;
        }
        Byte const trail = in[i + 1];
        char16_t const cp = decode_pair(b, trail);
        if (cp != 0) {
            w += encode_utf8(cp, w);
            i += 2;
        } else {
            w += encode_utf8(replacement_character, w);
            i += trail >= 0x80 ? 2 : 1;
        }
    }
    if (last && decoder.pending_lead >= 0) {
        decoder.pending_lead = -1;
        w += encode_utf8(replacement_character, w);
    }
    return static_cast<std::size_t>(w - begin);
}

}  // namespace codepage
