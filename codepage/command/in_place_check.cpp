#include "in_place_check.hpp"

#include <algorithm>
#include <utility>

namespace codepage {

namespace {

bool begins_with_byte_order_mark(std::span<const Byte> block) {
    return block.size() >= utf8_byte_order_mark.size() &&
           std::ranges::equal(block.first(utf8_byte_order_mark.size()), utf8_byte_order_mark);
}

}  // namespace

InPlaceVerdict check_block(InPlaceCheck& check, std::span<const Byte> block, bool last) {
    if (std::exchange(check.at_start, false) && begins_with_byte_order_mark(block))
        return {check.rules.marked_file_is_output ? InPlaceVerdict::leave_as_it_is : InPlaceVerdict::already_utf8};
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
