// Console and file services for Windows: UTF-16 file names, messages in
// the console or in the C runtime's locale, Win32 files, and the ANSI code
// page for decoding.
#define NOMINMAX  // std::min, not the macro
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <clocale>
#include <climits>
#include <cstdio>
#include <cwchar>

#include "messages.hpp"
#include "platform.hpp"

namespace codepage {

namespace {

// ---- Messages

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

// ---- Files

HANDLE handle_of(void* handle) { return static_cast<HANDLE>(handle); }

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool is_missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Reads at most `size` bytes. Returns their number, 0 at the end of the
// file, -1 on a read error, which includes a regular file that ends before
// the size it had when it was opened. The file is closed at its end, so
// that the output may replace it: Windows replaces no file that is open.
long long read_raw(InputFile& file, Byte* data, std::size_t size) {
    if (file.handle == nullptr) return 0;
    DWORD got = 0;
    DWORD const want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!ReadFile(handle_of(file.handle), data, want, &got, nullptr)) {
        if (GetLastError() != ERROR_BROKEN_PIPE) return -1;  // a closed pipe just ends
        got = 0;
    }
    if (got == 0) {
        if (file.bytes_read < file.expected_size) return -1;
        CloseHandle(handle_of(file.handle));
        file.handle = nullptr;
        return 0;
    }
    file.bytes_read += got;
    return got;
}

// Text mode: turns every CR LF among the bytes just read, [from, to) of
// `buffer`, into LF, in place. `cr_open` tells whether the byte before them
// is a CR whose successor was not known yet, and tells it of the last byte
// on return. Returns the new end of the text.
std::size_t join_cr_lf(std::span<Byte> buffer, std::size_t from, std::size_t to, bool& cr_open) {
    std::size_t w = from;
    for (std::size_t r = from; r < to; ++r) {
        Byte const b = buffer[r];
        if (b == '\n' && cr_open)
            buffer[w - 1] = '\n';
        else
            buffer[w++] = b;
        cr_open = b == '\r';
    }
    return w;
}

bool write_raw(HANDLE handle, Byte const* data, std::size_t size) {
    while (size > 0) {
        DWORD const chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

// The absolute form of `path`. ReplaceFileW wants it: some implementations
// (Wine's) cannot replace a file given by a bare name.
bool make_absolute(std::wstring& path) {
    DWORD const size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return false;
    std::wstring full(size, L'\0');
    DWORD const n = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (n == 0 || n >= size) return false;
    full.resize(n);
    path = full;
    return true;
}

// Where the last component of an absolute path begins.
std::size_t name_start(std::wstring_view path) {
    auto const separator = path.find_last_of(L"\\/");
    return separator == std::wstring_view::npos ? 0 : separator + 1;
}

// Six letters and digits that differ from call to call and from process to
// process.
std::wstring random_suffix() {
    static unsigned long long state = [] {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        return static_cast<unsigned long long>(counter.QuadPart) ^
               (static_cast<unsigned long long>(GetCurrentProcessId()) << 32);
    }();
    state += 0x9E3779B97F4A7C15ull;  // splitmix64
    unsigned long long z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    static constexpr wchar_t letters[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
    std::wstring suffix;
    for (int i = 0; i < 6; ++i, z /= 36) suffix += letters[z % 36];
    return suffix;
}

// Creates a new, empty file beside `target`, an absolute path, named like it.
bool create_temporary(OutputFile& file, std::wstring const& target) {
    std::size_t const start = name_start(target);
    std::wstring base = target.substr(start);
    // A name takes at most 255 units; keep a surrogate pair whole.
    if (base.size() > 255 - 8) base.resize(255 - 8);
    if (!base.empty() && IS_HIGH_SURROGATE(base.back())) base.pop_back();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring const path = target.substr(0, start) + L"." + base + L"." + random_suffix();
        HANDLE const handle =
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            file.handle = handle;
            file.temporary_path = path;
            return true;
        }
        DWORD const error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// The name of the file that a symbolic link (or another reparse point)
// leads to, so that the link keeps pointing to the replaced file.
bool resolve_link(HANDLE handle, std::wstring& path) {
    DWORD const size = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
    if (size == 0) return false;
    std::wstring final_path(size, L'\0');
    DWORD const n = GetFinalPathNameByHandleW(handle, final_path.data(), size, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= size) return false;
    final_path.resize(n);
    path = final_path;
    return true;
}

// Moves the finished temporary file over the target. An existing target is
// replaced with ReplaceFileW, which gives the new file the old one's
// attributes, security and creation time; a failure leaves it as it was.
bool put_in_place(OutputFile const& file) {
    wchar_t const* const temporary = file.temporary_path.c_str();
    wchar_t const* const target = file.target_path.c_str();
    if (file.target_exists) {
        if (ReplaceFileW(target, temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            return true;
        // Only when the target is gone does the plain move below remain.
        DWORD const error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT) return false;
    }
    return MoveFileExW(temporary, target, MOVEFILE_REPLACE_EXISTING) != 0;
}

void discard(OutputFile& file) {
    if (file.handle != nullptr) CloseHandle(handle_of(file.handle));
    file.handle = nullptr;
    if (!file.temporary_path.empty()) DeleteFileW(file.temporary_path.c_str());
    file.temporary_path.clear();
}

// ---- Decoding

// How much of `text`, which begins on a character boundary, is whole
// characters as MultiByteToWideChar cuts them. A byte that is no lead byte
// always ends a character, whether it stands alone or completes a pair; and
// every lead byte of code page 932 is a valid second byte, so a run of them
// pairs off from its start. Only an odd run at the end leaves a lead byte
// whose partner is still to come.
std::size_t whole_characters(std::span<const Byte> text) {
    std::size_t run = 0;
    while (run < text.size() && IsDBCSLeadByte(text[text.size() - 1 - run])) ++run;
    return text.size() - run % 2;
}

// Bytes converted in one go; each becomes at most one UTF-16 unit.
constexpr std::size_t piece_size = 16 * 1024;

// Converts `bytes`, whole characters, to UTF-8 at the start of `out` and
// returns the number of bytes written there.
std::size_t convert_whole(std::span<const Byte> bytes, std::span<Byte> out) {
    if (bytes.empty()) return 0;
    wchar_t wide[piece_size];
    int const units = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<char const*>(bytes.data()),
                                          static_cast<int>(bytes.size()), wide, static_cast<int>(piece_size));
    if (units <= 0) return 0;
    int const n = WideCharToMultiByte(CP_UTF8, 0, wide, units, reinterpret_cast<char*>(out.data()),
                                      static_cast<int>(std::min<std::size_t>(out.size(), INT_MAX)), nullptr,
                                      nullptr);
    return static_cast<std::size_t>(n > 0 ? n : 0);
}

// Messages are all the C runtime's locale changes: it is set when the
// first one is printed.
void set_locale_from_environment() {
    static bool done = false;
    if (!done) _wsetlocale(LC_ALL, L"");
    done = true;
}

}  // namespace

void print_message(std::string_view message, NativeStringView name) {
    set_locale_from_environment();
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

InputFile::~InputFile() {
    if (handle != nullptr) CloseHandle(handle_of(handle));
}

bool open_input(InputFile& file, NativeStringView name, FileMode mode) {
    std::wstring const path(name);
    // With backup semantics a directory opens too; reading it fails then.
    HANDLE const handle = CreateFileW(path.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    file.handle = handle;
    file.mode = mode;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        file.expected_size = (static_cast<long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

std::ptrdiff_t read_input(InputFile& file, std::span<Byte> buffer) {
    bool const text = file.mode == FileMode::text;
    std::size_t filled = 0;
    bool cr_open = false;
    if (file.byte_after_cr >= 0 && !buffer.empty()) {
        buffer[filled++] = static_cast<Byte>(file.byte_after_cr);
        cr_open = file.byte_after_cr == '\r';
        file.byte_after_cr = -1;
    }
    while (filled < buffer.size()) {
        long long const n = read_raw(file, buffer.data() + filled, buffer.size() - filled);
        if (n < 0) return -1;
        if (n == 0) break;
        std::size_t const end = filled + static_cast<std::size_t>(n);
        filled = text ? join_cr_lf(buffer, filled, end, cr_open) : end;
    }
    if (text && cr_open && filled == buffer.size()) {
        // The buffer ends in a CR: the next byte decides whether it is half
        // of a CR LF.
        Byte next;
        long long const n = read_raw(file, &next, 1);
        if (n < 0) return -1;
        if (n == 1 && next == '\n')
            buffer[filled - 1] = '\n';
        else if (n == 1)
            file.byte_after_cr = next;
    }
    return static_cast<std::ptrdiff_t>(filled);
}

OutputFile::~OutputFile() { discard(*this); }

bool open_output(OutputFile& file, NativeStringView name, FileMode mode) {
    file.mode = mode;
    std::wstring path(name);
    HANDLE const existing =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        if (!is_missing(GetLastError())) return false;
    } else {
        BY_HANDLE_FILE_INFORMATION info{};
        bool const on_disk = GetFileType(existing) == FILE_TYPE_DISK;
        bool const known = on_disk && GetFileInformationByHandle(existing, &info);
        DWORD const link_attributes = GetFileAttributesW(path.c_str());
        bool const link = link_attributes != INVALID_FILE_ATTRIBUTES &&
                          (link_attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        bool const resolved = !link || resolve_link(existing, path);
        CloseHandle(existing);
        if (!on_disk) {
            // Devices (NUL, CON) and pipes cannot be replaced; they are
            // written as they are.
            HANDLE const handle =
                CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (handle == INVALID_HANDLE_VALUE) return false;
            file.handle = handle;
            file.target_path = path;
            return true;
        }
        if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !resolved) return false;
        file.target_exists = true;
    }
    if (!make_absolute(path)) return false;
    file.target_path = path;
    return create_temporary(file, path);
}

bool write_output(OutputFile& file, std::span<const Byte> bytes) {
    HANDLE const handle = handle_of(file.handle);
    if (file.mode == FileMode::binary) return write_raw(handle, bytes.data(), bytes.size());
    // Text mode: every LF goes out as CR LF.
    Byte buffer[16 * 1024];
    std::size_t n = 0;
    for (Byte const b : bytes) {
        if (n + 2 > sizeof buffer) {
            if (!write_raw(handle, buffer, n)) return false;
            n = 0;
        }
        if (b == '\n') buffer[n++] = '\r';
        buffer[n++] = b;
    }
    return write_raw(handle, buffer, n);
}

bool commit_output(OutputFile& file) {
    HANDLE const handle = handle_of(file.handle);
    file.handle = nullptr;
    if (!CloseHandle(handle)) {
        discard(file);
        return false;
    }
    if (file.temporary_path.empty()) return true;
    if (!put_in_place(file)) {
        discard(file);
        return false;
    }
    file.temporary_path.clear();
    return true;
}

std::size_t text_to_utf8(TextDecoder& decoder, std::span<const Byte> in, bool last, std::span<Byte> out) {
    std::size_t written = 0;
    if (decoder.held_lead >= 0 && (!in.empty() || last)) {
        // The held lead byte and the byte after it end on a character
        // boundary, whether they make a pair or not.
        Byte const pair[2] = {static_cast<Byte>(decoder.held_lead), in.empty() ? Byte{0} : in[0]};
        std::size_t const n = in.empty() ? 1 : 2;
        written += convert_whole(std::span<const Byte>(pair, n), out);
        in = in.subspan(n - 1);
        decoder.held_lead = -1;
    }
    while (!in.empty()) {
        std::span<const Byte> const piece = in.first(std::min(in.size(), piece_size));
        bool const final_piece = piece.size() == in.size();
        std::size_t const take = final_piece && last ? piece.size() : whole_characters(piece);
        written += convert_whole(piece.first(take), out.subspan(written));
        in = in.subspan(take);
        if (final_piece && !in.empty()) {
            decoder.held_lead = in[0];
            break;
        }
    }
    return written;
}

}  // namespace codepage
