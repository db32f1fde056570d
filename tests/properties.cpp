#include "properties.hpp"

#include <algorithm>
#include <random>

#include "codepage/cp932/cp932.hpp"
#include "litconv/escape_chunk.hpp"
#include "reference.hpp"

static_assert(reference::max_held == litconv::max_held);

namespace properties {

namespace {

using codepage::Byte;

constexpr std::size_t block_size = 64 * 1024;
constexpr std::size_t guard_size = 16;
constexpr Byte guard_byte = 0xA5;
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// Feeds `text` to `kernel` block by block, each with an output buffer of
// exactly `bound(size)` bytes followed by guard bytes that must stay intact.
template <typename Kernel, typename Bound>
Run run_in_blocks(std::string_view text, std::span<const std::size_t> sizes, Kernel kernel, Bound bound) {
    Run run;
    std::size_t offset = 0;
    // One buffer for all blocks: the bound of a block of a few bytes after
    // a held chain is megabytes, too many to allocate for each.
    std::vector<Byte> out;
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        std::size_t const n = sizes[k];
        std::size_t const room = bound(n);
        if (out.size() < room + guard_size) out.resize(room + guard_size);
        auto const guard = std::span(out).subspan(room, guard_size);
        std::fill(guard.begin(), guard.end(), guard_byte);
        std::span<const Byte> const block(reinterpret_cast<const Byte*>(text.data()) + offset, n);
        std::size_t const written = kernel(block, k + 1 == sizes.size(), std::span(out).first(room));
        if (written > room || std::any_of(guard.begin(), guard.end(), [](Byte b) { return b != guard_byte; })) {
            run.fault = "wrote past the end of its " + std::to_string(room) + "-byte buffer for a " +
                        std::to_string(n) + "-byte block at input byte " + std::to_string(offset);
            return run;
        }
        run.output.append(reinterpret_cast<const char*>(out.data()), written);
        offset += n;
    }
    return run;
}

std::string first_difference(std::string_view got, std::string_view expected) {
    auto const [a, b] = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    return "output byte " + std::to_string(a - got.begin()) + " (" + std::to_string(got.size()) + " bytes, " +
           std::to_string(expected.size()) + " expected)";
}

}  // namespace

namespace {

template <typename Function>
std::vector<Named<Function>> supported(std::span<const codepage::cpu::Variant<Function>> variants) {
    std::vector<Named<Function>> result;
    for (auto const& variant : variants)
        if (codepage::cpu::supported(variant, codepage::cpu::features()))
            result.push_back({variant.name, variant.function});
    return result;
}

}  // namespace

std::vector<Named<codepage::CopyToPairFunction>> sweep_kernels() {
    return supported(codepage::copy_to_pair_variants());
}

std::vector<Named<codepage::DecodeFunction>> decoders() { return supported(codepage::decoder_variants()); }

std::vector<std::size_t> block_sizes(std::uint64_t seed, std::size_t total) {
    std::mt19937_64 random(seed);
    auto const style = random() % 4;
    std::vector<std::size_t> sizes;
    for (std::size_t left = total; left > 0; left -= sizes.back()) {
        std::size_t n = style == 0 ? 1 : block_size;
        if (style >= 2) {
            switch (random() % 8) {
                case 0: n = 0; break;
                case 1:
                case 2: n = 1; break;
                case 3: n = 2 + random() % 3; break;
                case 4: n = block_size; break;
                default: n = 1 + random() % 300;
            }
        }
        sizes.push_back(std::min(n, left));
    }
    if (sizes.empty() || random() % 2 == 0) sizes.push_back(0);
    return sizes;
}

Run escape_in_blocks(codepage::CopyToPairFunction* kernel, std::string_view text, std::span<const std::size_t> sizes,
                     bool cr_in_splice) {
    litconv::Escaper escaper;
    escaper.state.cr_in_splice = cr_in_splice;
    return run_in_blocks(
        text, sizes,
        [&escaper, kernel](std::span<const Byte> in, bool last, std::span<Byte> out) {
            return litconv::escape_chunk_with(kernel, escaper, in, last, out);
        },
        [&escaper](std::size_t n) { return litconv::max_escaped_length(escaper, n); });
}

Run decode_in_blocks(codepage::DecodeFunction* variant, std::string_view text, std::span<const std::size_t> sizes) {
    codepage::Decoder decoder;
    return run_in_blocks(
        text, sizes,
        [&decoder, variant](std::span<const Byte> in, bool last, std::span<Byte> out) {
            return variant(decoder, in, last, out);
        },
        codepage::max_utf8_length);
}

namespace {

// The faults on one reading of `text`.
std::string reading_faults(codepage::CopyToPairFunction* kernel, std::string_view text, std::uint64_t seed,
                           bool cr_in_splice) {
    Run const run = escape_in_blocks(kernel, text, block_sizes(seed, text.size()), cr_in_splice);
    if (!run.fault.empty()) return "escape_chunk " + run.fault;
    std::string const expected = reference::escape(text, cr_in_splice);
    if (run.output != expected) return "escape_chunk differs from the reference at " + first_difference(run.output, expected);

    Run const again = escape_in_blocks(kernel, run.output, block_sizes(seed + 1, run.output.size()), cr_in_splice);
    if (again.output != run.output)
        return "escaping the output again changes it at " + first_difference(again.output, run.output);
    if (reference::only_mapped_characters(text)) {
        for (reference::Piece const& p : reference::scan(run.output, cr_in_splice)) {
            bool const narrow = p.context == reference::Context::narrow || p.context == reference::Context::narrow_raw;
            if (narrow && static_cast<Byte>(p.text[0]) >= 0x80)
                return "a narrow literal of the output keeps a byte from 0x80 up at output byte " +
                       std::to_string(p.text.data() - run.output.data());
        }
    }
    return {};
}

}  // namespace

std::string escape_faults(codepage::CopyToPairFunction* kernel, std::string_view text, std::uint64_t seed) {
    if (std::string faults = reading_faults(kernel, text, seed, true); !faults.empty()) return faults;
    if (std::string faults = reading_faults(kernel, text, seed, false); !faults.empty())
        return "after text mode: " + faults;
    return {};
}

std::string decode_faults(codepage::DecodeFunction* decoder, std::string_view text, std::uint64_t seed) {
    Run const run = decode_in_blocks(decoder, text, block_sizes(seed, text.size()));
    if (!run.fault.empty()) return "decode_to_utf8 " + run.fault;
    std::string const expected = reference::decode(text);
    if (run.output != expected) return "decode_to_utf8 differs from the reference at " + first_difference(run.output, expected);
    std::string const file = std::string(byte_order_mark) + run.output;
    if (!reference::is_valid_utf8(file)) return "the byte-order mark and the output are no well-formed UTF-8";
    return {};
}

}  // namespace properties
