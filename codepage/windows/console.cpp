// Messages on Windows: UTF-16 to the console, the C runtime's locale (or
// UTF-8) when standard output is redirected.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "codepage/command/messages.hpp"
#include "codepage/platform.hpp"
#include "codepage/windows/windows_api.hpp"

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

// Puts `text` in code page `code_page` into `out`. False when a character
// has no exact counterpart there: without WC_NO_BEST_FIT_CHARS "¥.c" would
// name the file "\.c", and "café.c" a file "cafe.c". UTF-8 holds every
// character and takes neither the flag nor the question.
bool encode(std::wstring_view text, UINT code_page, std::string& out) {
    out.clear();
    if (text.empty()) return true;
    bool const utf8 = code_page == CP_UTF8;
    DWORD const flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL inexact = FALSE;
    BOOL* const used_default = utf8 ? nullptr : &inexact;
    int const size = static_cast<int>(text.size());
    int const n = WideCharToMultiByte(code_page, flags, text.data(), size, nullptr, 0, nullptr, used_default);
    if (n <= 0) return false;
    out.resize(static_cast<std::size_t>(n));
    return WideCharToMultiByte(code_page, flags, text.data(), size, out.data(), n, nullptr, used_default) == n &&
           !inexact;
}

bool is_console(HANDLE handle) {
    DWORD mode;
    return GetConsoleMode(handle, &mode) != 0;
}

// Messages are all the C runtime's locale changes: it is set when the
// first one is printed.
void set_locale_from_environment() {
    static bool done = false;
    if (!done) _wsetlocale(LC_ALL, L"");
    done = true;
}

NativeStringView message_in, message_out;

// Which file `handle` is, where it is a file on a disk. FileIdInfo takes
// no access right, so that it tells a handle open for writing only, as
// standard output redirected to a file is.
std::optional<FILE_ID_INFO> file_id_of(HANDLE handle) {
    FILE_ID_INFO info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info))
        return std::nullopt;
    return info;
}

// Whether `name` is the file `standard_output` is. Opened for its
// attributes only and shared in every way, it opens whoever holds it. Of
// a standard handle made from a Unix descriptor, Wine tells the file's
// number but no volume (0): the number alone decides then.
bool is_standard_output(FILE_ID_INFO const& standard_output, NativeStringView name) {
    if (name.empty()) return false;
    HANDLE const handle = CreateFileW(std::wstring(name).c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    std::optional<FILE_ID_INFO> const file = file_id_of(handle);
    CloseHandle(handle);
    return file &&
           (standard_output.VolumeSerialNumber == 0 || standard_output.VolumeSerialNumber == file->VolumeSerialNumber) &&
           std::memcmp(&standard_output.FileId, &file->FileId, sizeof file->FileId) == 0;
}

bool standard_output_is_a_message_file() {
    std::optional<FILE_ID_INFO> const standard_output = file_id_of(GetStdHandle(STD_OUTPUT_HANDLE));
    return standard_output &&
           (is_standard_output(*standard_output, message_in) || is_standard_output(*standard_output, message_out));
}

}  // namespace

void name_message_files(NativeStringView in, NativeStringView out) {
    message_in = in;
    message_out = out;
}

void print_message(std::string_view message, NativeStringView name) {
    set_locale_from_environment();
    auto const [before, after] = split_at_name(message);
    std::wstring const text = widen_utf8(before) + std::wstring(name) + widen_utf8(after);

    bool const to_error = standard_output_is_a_message_file();
    HANDLE const out = GetStdHandle(to_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    std::FILE* const stream = to_error ? stderr : stdout;
    if (is_console(out)) {
        // The console takes UTF-16 whole, whatever its code page.
        std::fflush(stream);
        DWORD written;
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // Redirected, the message is in the code page of the C runtime's locale,
    // as wprintf would write it; where that cannot hold it exactly (the C
    // locale, code page 0, holds no Japanese) UTF-8 at least arrives whole.
    UINT const code_page = ___lc_codepage_func();
    std::string bytes;
    if (code_page == 0 || !encode(text, code_page, bytes)) encode(text, CP_UTF8, bytes);
    // The C runtime's streams are in text mode: each LF goes out as CR LF.
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

}  // namespace codepage
