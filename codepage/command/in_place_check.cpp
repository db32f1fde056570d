#include "in_place_check.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace codepage {

namespace {

bool begins_with(std::span<const Byte> block, std::span<const Byte> mark) {
    return block.size() >= mark.size() && std::ranges::equal(block.first(mark.size()), mark);
}

// The byte-order marks of UTF-16, little- and big-endian. Read as code
// page 932, the bytes of a UTF-16 character may form a quote or a pair:
// either program would garble the file.
constexpr std::array<Byte, 2> utf16_little_endian_mark = {0xFF, 0xFE};
constexpr std::array<Byte, 2> utf16_big_endian_mark = {0xFE, 0xFF};

}  // namespace

InPlaceVerdict check_block(InPlaceCheck& check, std::span<const Byte> block, bool last) {
    if (std::exchange(check.at_start, false)) {
        if (begins_with(block, utf8_byte_order_mark))
            return {check.rules.marked_file_is_output ? InPlaceVerdict::leave_as_it_is : InPlaceVerdict::already_utf8};
        if (begins_with(block, utf16_little_endian_mark) || begins_with(block, utf16_big_endian_mark))
            return {InPlaceVerdict::utf16};
    }
    if (check.utf8.valid) check_utf8(check.utf8, block, last);
    if (check.rules.needs_code_page_932) check_cp932(check.cp932, block, last);
    // Valid UTF-8 decides only at the end; once the file is not UTF-8, a
    // byte that is no character of code page 932 decides at once.
    if (check.utf8.valid && !last) return {};
    if (is_multibyte_utf8(check.utf8)) return {InPlaceVerdict::already_utf8};
    if (check.cp932.first_invalid_line != 0) return {InPlaceVerdict::not_code_page_932, check.cp932.first_invalid_line};
    if (check.rules.needs_code_page_932 && !last) return {};
    return {InPlaceVerdict::convert};
}

}  // namespace codepage
