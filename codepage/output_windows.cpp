// Writing the output on Windows: a temporary file beside the target, put in its
// place with ReplaceFileW once every byte is written.
#include <algorithm>

#include "platform.hpp"
#include "windows_api.hpp"

namespace codepage {

namespace {

bool is_missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

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

}  // namespace

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

}  // namespace codepage
