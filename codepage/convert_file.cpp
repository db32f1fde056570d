#include "convert_file.hpp"

#include <memory>
#include <new>

#include "messages.hpp"

namespace codepage {

int run_conversion(std::span<const NativeChar* const> arguments, Conversion const& conversion) {
    set_locale_from_environment();
    if (arguments.size() != 2) {
        for (std::string_view line : conversion.usage) print_message(line);
        return exit_usage;
    }
    NativeStringView const in_name = arguments[0];
    NativeStringView const out_name = arguments[1];

    InputFile in;
    if (!open_input(in, in_name, conversion.mode)) {
        print_message(message_cannot_open, in_name);
        return exit_failure;
    }
    std::unique_ptr<Byte[]> const in_block(new (std::nothrow) Byte[input_block_size]);
    std::unique_ptr<Byte[]> const out_block(new (std::nothrow) Byte[conversion.output_block_size]);
    if (!in_block || !out_block) {
        print_message(message_out_of_memory);
        return exit_failure;
    }
    OutputFile out;
    if (!open_output(out, out_name, conversion.mode)) {
        print_message(message_cannot_open, out_name);
        return exit_failure;
    }
    if (!write_output(out, conversion.preamble)) {
        print_message(message_cannot_write, out_name);
        return exit_failure;
    }
    std::span<Byte> const in_buffer(in_block.get(), input_block_size);
    std::span<Byte> const out_buffer(out_block.get(), conversion.output_block_size);
    for (bool last = false; !last;) {
        std::ptrdiff_t const n = read_input(in, in_buffer);
        if (n < 0) {
            print_message(message_cannot_read, in_name);
            return exit_failure;
        }
        last = static_cast<std::size_t>(n) < in_buffer.size();
        std::size_t const written =
            conversion.convert(in_buffer.first(static_cast<std::size_t>(n)), last, out_buffer);
        if (!write_output(out, out_buffer.first(written))) {
            print_message(message_cannot_write, out_name);
            return exit_failure;
        }
    }
    if (!commit_output(out)) {
        print_message(message_cannot_write, out_name);
        return exit_failure;
    }
    return exit_success;
}

}  // namespace codepage
