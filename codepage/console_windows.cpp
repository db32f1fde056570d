// Messages on Windows: UTF-16 to the console, the C runtime's locale (or
// UTF-8) when standard output is redirected.
#include <clocale>
#include <climits>
#include <cstdio>
#include <cwchar>

#include "messages.hpp"
#include "platform.hpp"
#include "windows_api.hpp"

namespace codepage {

namespace {

std::wstring widen_utf8(std::string_view text) {
    if (text.empty()) return {};
    // UTF-16 never takes more units than UTF-8 takes bytes.
    std::wstring wide(text.size(), L'\0');
    int const n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                      static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return wide;
}

std::string utf8_of(std::wstring_view text) {
    if (text.empty()) return {};
    int const size = static_cast<int>(text.size());
    int const n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
    return out;
}

// Appends `text` in the encoding of the C runtime's locale, as wprintf
// would write it. False when that encoding cannot hold one of its
// characters.
bool append_in_locale_encoding(std::string& out, std::wstring_view text) {
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX];
    for (wchar_t const c : text) {
        std::size_t const n = std::wcrtomb(buffer, c, &state);
        if (n == static_cast<std::size_t>(-1)) return false;
        out.append(buffer, n);
    }
    return true;
}

bool is_console(HANDLE handle) {
    DWORD mode;
    return GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

void set_locale_from_environment() { _wsetlocale(LC_ALL, L""); }

void print_message(std::string_view message, NativeStringView name) {
    auto const [before, after] = split_at_name(message);
    std::wstring const text = widen_utf8(before) + std::wstring(name) + widen_utf8(after);

    HANDLE const out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (is_console(out)) {
        // The console takes UTF-16 whole, whatever its code page.
        std::fflush(stdout);
        DWORD written;
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::string bytes;
    if (!append_in_locale_encoding(bytes, text)) {
        // The locale's encoding cannot hold Japanese (the C locale, say):
        // UTF-8 at least arrives whole.
        bytes = utf8_of(text);
    }
    // Standard output is in text mode: each LF goes out as CR LF.
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

}  // namespace codepage
