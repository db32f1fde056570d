#include "cp932_check.hpp"

#include <algorithm>
#include <cstddef>

#include "byte_scan.hpp"
#include "cp932_pairs.hpp"
#include "cp932_table.hpp"

namespace codepage {

namespace {

inline constexpr std::size_t none = static_cast<std::size_t>(-1);

// Where the first byte of `text` that begins no character is, or `none`; a
// lead byte that ends `text` is left in `pending_lead`.
std::size_t first_invalid(std::span<const Byte> text, int& pending_lead) {
    std::size_t const n = text.size();
    for (std::size_t i = 0; i < n;) {
        i += ascii_run_length(text.subspan(i));
        if (i == n) break;
        Byte const b = text[i];
        if (!is_lead_byte(b)) {
            ++i;
        } else if (i + 1 == n) {
            pending_lead = b;
            break;
        } else if (is_mapped_pair(b, text[i + 1])) {
            i += 2;
        } else {
            return i;
        }
    }
    return none;
}

unsigned long long line_feeds_in(std::span<const Byte> text) {
    return static_cast<unsigned long long>(std::ranges::count(text, Byte{'\n'}));
}

}  // namespace

void check_cp932(Cp932Check& check, std::span<const Byte> block, bool last) {
    if (check.first_invalid_line != 0) return;
    std::size_t start = 0;
    if (check.pending_lead >= 0 && !block.empty()) {
        // The lead byte is the last byte of the block before, on its last line.
        if (!is_mapped_pair(static_cast<Byte>(check.pending_lead), block[0])) {
            check.first_invalid_line = check.line_feeds + 1;
            return;
        }
        check.pending_lead = -1;
        start = 1;
    }
    std::size_t const at = first_invalid(block.subspan(start), check.pending_lead);
    if (at != none) {
        check.first_invalid_line = check.line_feeds + line_feeds_in(block.first(start + at)) + 1;
        return;
    }
    check.line_feeds += line_feeds_in(block);
    if (last && check.pending_lead >= 0) check.first_invalid_line = check.line_feeds + 1;
}

}  // namespace codepage
