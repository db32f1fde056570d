#include <array>
#include <string_view>

#include "codepage/command/convert_file.hpp"
#include "codepage/command/messages.hpp"
#include "codepage/native.hpp"
#include "escape_chunk.hpp"

int codepage::program_main(std::span<const codepage::NativeChar* const> arguments) {
    static constexpr std::array<std::string_view, 5> usage = {
        "マルチバイト文字（コードページ932またはShift JIS）で書かれたC言語ソースファイル内の文字列リテラルをUTF-8にエンコードします。\n",
        codepage::usage_command_line,
        "litconv [in] [out]\n",
        codepage::usage_in,
        codepage::usage_out,
    };
    litconv::Escaper escaper;
    // The compiler reads the file's bytes: its \ CR LF is a splice, and a
    // \ CR CR LF is none. Where text mode hands over the first as \ LF,
    // it hands over the second as \ CR LF.
    escaper.state.cr_in_splice = !codepage::text_mode_reads_cr_lf_as_lf;
    codepage::Conversion const conversion{
        .usage = usage,
        .mode = codepage::FileMode::text,
        .preamble = {},
        .max_output = litconv::max_escaped_length,
        .convert = [&escaper](std::span<const codepage::Byte> in, bool last, std::span<codepage::Byte> out) {
            return litconv::escape_chunk(escaper, in, last, out);
        },
        // A file with the byte-order mark is UTF-8, which litconv would
        // garble; bytes that are no character are kept as they are.
        .in_place = {.marked_file_is_output = false, .needs_code_page_932 = false},
    };
    return codepage::run_conversion(arguments, conversion);
}
