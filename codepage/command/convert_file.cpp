#include "convert_file.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "codepage/command/messages.hpp"

namespace codepage {

namespace {

// The output goes out in multiples of 256 KiB, at offsets that are
// multiples of 256 KiB, until the last write; what is left of a block's
// output goes out in front of the next one. The page cache takes a write
// that starts or ends inside a page at a much higher cost than whole pages
// (the three bytes of a byte-order mark in front would otherwise put every
// write of txtconv there), and it keeps large aligned writes in large
// folios, which the write-back that the final rename starts (on ext4) gets
// through in far fewer steps.
constexpr std::size_t output_alignment = 256 * 1024;

// The size of the blocks [in] is read in, and the alignment of every write
// but the last.
struct Blocks {
    std::size_t size;
    std::size_t alignment;
};

// Most files of a source tree are smaller than a block. Such a file is read
// into a block sized to it, with a byte to spare so that the first read
// already meets the end, and its output goes out in one write: the run
// allocates no large buffers, which cost a small file more than its
// conversion. Should the file grow meanwhile, it goes on in blocks of that
// size, each written as it comes. Blocks of at least 4 KiB keep a file whose
// size says nothing (0 in /proc) from being read a few bytes at a time.
Blocks blocks_for(InputFile const& in) {
    constexpr long long least = 4096;
    if (in.expected_size < 0 || in.expected_size >= static_cast<long long>(input_block_size))
        return {input_block_size, output_alignment};
    return {static_cast<std::size_t>(std::max(least, in.expected_size + 1)), 1};
}

// Names the run's files for its messages while the run goes on, and
// forgets them at its end.
class MessageFiles {
public:
    MessageFiles(NativeStringView in, NativeStringView out) { name_message_files(in, out); }
    ~MessageFiles() { name_message_files({}, {}); }
    MessageFiles(MessageFiles const&) = delete;
    MessageFiles& operator=(MessageFiles const&) = delete;
};

// `message` with its "%llu" replaced by `number`.
std::string with_number(std::string_view message, unsigned long long number) {
    std::string text(message);
    return text.replace(text.find("%llu"), 4, std::to_string(number));
}

// The exit status of an in-place run that `verdict` ends before anything
// is replaced; the file is left as it is.
int end_in_place(InPlaceVerdict const& verdict, NativeStringView name) {
    switch (verdict.kind) {
    case InPlaceVerdict::already_utf8:
        print_message(message_already_utf8, name);
        return exit_failure;
    case InPlaceVerdict::utf16:
        print_message(message_utf16, name);
        return exit_failure;
    case InPlaceVerdict::not_code_page_932:
        print_message(with_number(message_not_code_page_932, verdict.line), name);
        return exit_failure;
    default:
        return exit_success;
    }
}

}  // namespace

int run_conversion(std::span<const NativeChar* const> arguments, Conversion const& conversion) {
    if (arguments.size() != 2) {
        for (std::string_view line : conversion.usage) print_message(line);
        return exit_usage;
    }
    NativeStringView const in_name = arguments[0];
    NativeStringView const out_name = arguments[1];
    MessageFiles const message_files(in_name, out_name);

    InputFile in;
    if (InputOpening const opening = open_input(in, in_name, conversion.mode); opening != InputOpening::opened) {
        print_message(opening == InputOpening::cannot_open ? message_cannot_open : message_cannot_read, in_name);
        return exit_failure;
    }
    Blocks const blocks = blocks_for(in);
    std::size_t const output_block_size = conversion.max_output(blocks.size);
    // Room in front of the converted block for what an earlier one left (at
    // first the preamble).
    std::size_t const carry_room = std::max(conversion.preamble.size(), blocks.alignment);
    std::unique_ptr<Byte[]> const in_block(new (std::nothrow) Byte[blocks.size]);
    std::unique_ptr<Byte[]> const out_block(new (std::nothrow) Byte[carry_room + output_block_size]);
    if (!in_block || !out_block) {
        print_message(message_out_of_memory);
        return exit_failure;
    }
    OutputFile out;
    if (!open_output(out, out_name, conversion.mode, in)) {
        print_message(message_cannot_open, out_name);
        return exit_failure;
    }
    std::span<Byte> const in_buffer(in_block.get(), blocks.size);
    std::span<Byte> const out_buffer(out_block.get(), carry_room + output_block_size);
    std::ranges::copy(conversion.preamble, out_buffer.begin());
    std::size_t carried = conversion.preamble.size();
    // In place, each block is checked before it is converted: a file the
    // checks refuse is never replaced. Once they tell that the file is to
    // be converted, the rest is not checked.
    std::optional<InPlaceCheck> check;
    if (out.in_place) check.emplace().rules = conversion.in_place;
    for (bool last = false; !last;) {
        std::ptrdiff_t const n = read_input(in, in_buffer);
        if (n < 0) {
            print_message(message_cannot_read, in_name);
            return exit_failure;
        }
        last = static_cast<std::size_t>(n) < in_buffer.size();
        std::span<const Byte> const block = in_buffer.first(static_cast<std::size_t>(n));
        if (check) {
            InPlaceVerdict const verdict = check_block(*check, block, last);
            if (verdict.kind == InPlaceVerdict::convert) check.reset();
            else if (verdict.kind != InPlaceVerdict::undecided) return end_in_place(verdict, in_name);
        }
        std::size_t const written = conversion.convert(block, last, out_buffer.subspan(carried, output_block_size));
        std::size_t const total = carried + written;
        std::size_t const whole = last ? total : total - total % blocks.alignment;
        if (!write_output(out, out_buffer.first(whole))) {
            print_message(message_cannot_write, out_name);
            return exit_failure;
        }
        carried = total - whole;
        if (whole != 0) std::memmove(out_buffer.data(), out_buffer.data() + whole, carried);
    }
    if (!commit_output(out)) {
        print_message(message_cannot_write, out_name);
        return exit_failure;
    }
    return exit_success;
}

}  // namespace codepage
