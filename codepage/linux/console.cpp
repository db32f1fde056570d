// Messages on the console, in the encoding of the user's locale.
#include <climits>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "codepage/command/messages.hpp"
#include "codepage/platform.hpp"

namespace codepage {

namespace {

// Decodes one code point of our own (valid) UTF-8 message text.
char32_t next_code_point(std::string_view text, std::size_t& i) {
    auto const b = static_cast<unsigned char>(text[i++]);
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    char32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    for (; extra > 0 && i < text.size(); --extra)
        cp = (cp << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
    return cp;
}

// Appends `text` in the encoding of the current locale. False when that
// encoding cannot hold one of its characters.
bool append_in_locale_encoding(std::string& out, std::string_view text) {
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX];
    for (std::size_t i = 0; i < text.size();) {
        std::size_t const n = std::wcrtomb(buffer, static_cast<wchar_t>(next_code_point(text, i)), &state);
        if (n == static_cast<std::size_t>(-1)) return false;
        out.append(buffer, n);
    }
    return true;
}

// Messages are all the locale changes, and a run that converts its file
// prints none: it need not load the locale's files.
void set_locale_from_environment() {
    static bool done = false;
    if (!done) std::setlocale(LC_ALL, "");
    done = true;
}

NativeStringView message_in, message_out;

// Whether `name` leads to the file `standard_output` describes.
bool is_standard_output(struct stat const& standard_output, NativeStringView name) {
    struct stat st;
    return !name.empty() && stat(std::string(name).c_str(), &st) == 0 && st.st_dev == standard_output.st_dev &&
           st.st_ino == standard_output.st_ino;
}

std::FILE* message_stream() {
    struct stat standard_output;
    if (fstat(STDOUT_FILENO, &standard_output) != 0) return stdout;
    bool const about_it = is_standard_output(standard_output, message_in) ||
                          is_standard_output(standard_output, message_out);
    return about_it ? stderr : stdout;
}

}  // namespace

void name_message_files(NativeStringView in, NativeStringView out) {
    message_in = in;
    message_out = out;
}

void print_message(std::string_view message, NativeStringView name) {
    set_locale_from_environment();
    auto const [before, after] = split_at_name(message);
    std::string out;
    bool const in_locale = append_in_locale_encoding(out, before);
    if (in_locale) out.append(name);
    if (!in_locale || !append_in_locale_encoding(out, after)) {
        // The console's encoding cannot hold Japanese (the C locale, say):
        // UTF-8 at least arrives whole.
        out.assign(before);
        out.append(name);
        out.append(after);
    }
    std::FILE* const stream = message_stream();
    std::fwrite(out.data(), 1, out.size(), stream);
    std::fflush(stream);
}

}  // namespace codepage
