#include <array>
#include <string_view>

#include "codepage/command/convert_file.hpp"
#include "codepage/command/messages.hpp"
#include "codepage/cp932/text_decoder.hpp"
#include "codepage/utf8/utf8_check.hpp"

int codepage::program_main(std::span<const codepage::NativeChar* const> arguments) {
    static constexpr std::array<std::string_view, 5> usage = {
        "マルチバイト文字（コードページ932またはShift JIS）で書かれたテキストファイルをUTF-8にエンコードします。\n",
        codepage::usage_command_line,
        "txtconv [in] [out]\n",
        codepage::usage_in,
        codepage::usage_out,
    };
    codepage::TextDecoder decoder;
    codepage::Conversion const conversion{
        .usage = usage,
        .mode = codepage::FileMode::binary,
        .preamble = codepage::utf8_byte_order_mark,
        .max_output = codepage::max_utf8_length,
        .convert = [&decoder](std::span<const codepage::Byte> in, bool last, std::span<codepage::Byte> out) {
            return codepage::text_to_utf8(decoder, in, last, out);
        },
        // A file with the byte-order mark is txtconv's output already; a
        // byte that is no character would become U+FFFD.
        .in_place = {.marked_file_is_output = true, .needs_code_page_932 = true},
    };
    return codepage::run_conversion(arguments, conversion);
}
