// Writing the output on Windows: a temporary file beside the target, put in its
// place with ReplaceFileW once every byte is written, and removed when the
// output is dropped or the console interrupts the program.
#include <algorithm>

#include "codepage/platform.hpp"
#include "codepage/windows/windows_api.hpp"

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

// ---- Interrupts
//
// Windows runs the console's control handlers in a thread of their own,
// while the main thread goes on writing. The lock keeps the temporary file
// from being removed while the main thread puts it in place, and from being
// put in place once removed.

SRWLOCK temporary_lock = SRWLOCK_INIT;
std::wstring const* interrupted_temporary = nullptr;  // what an interrupt removes

// Ctrl-C, Ctrl-Break and the closing of the console window end the program
// with the temporary file open; it is opened shared for deletion, so that
// it goes when the process ends. The process ends here with the status
// that the system's own handler gives (some versions of Wine give 0, which
// would read as success); the lock is never given back, so the main thread
// cannot put the removed file in place meanwhile.
BOOL WINAPI remove_temporary_on_interrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    AcquireSRWLockExclusive(&temporary_lock);
    if (interrupted_temporary != nullptr) DeleteFileW(interrupted_temporary->c_str());
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

class TemporaryLock {
public:
    TemporaryLock() { AcquireSRWLockExclusive(&temporary_lock); }
    ~TemporaryLock() { ReleaseSRWLockExclusive(&temporary_lock); }
    TemporaryLock(TemporaryLock const&) = delete;
    TemporaryLock& operator=(TemporaryLock const&) = delete;
};

// ---- Files

// Creates a new, empty file beside `target`, an absolute path, named like it.
bool create_temporary(OutputFile& file, std::wstring const& target) {
    SetConsoleCtrlHandler(remove_temporary_on_interrupt, TRUE);
    std::size_t const start = name_start(target);
    std::wstring base = target.substr(start);
    // A name takes at most 255 units; keep a surrogate pair whole.
    if (base.size() > 255 - 8) base.resize(255 - 8);
    if (!base.empty() && IS_HIGH_SURROGATE(base.back())) base.pop_back();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::wstring const path = target.substr(0, start) + L"." + base + L"." + random_suffix();
        TemporaryLock const lock;
        HANDLE const handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            file.handle = handle;
            file.temporary_path = path;
            interrupted_temporary = &file.temporary_path;
            return true;
        }
        DWORD const error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

// The name of the file open as `handle`, after every symbolic link (or
// other reparse point) on the way to it: the file is replaced there, so
// that a link keeps pointing to it.
bool final_path(HANDLE handle, std::wstring& path) {
    DWORD const size = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
    if (size == 0) return false;
    std::wstring resolved(size, L'\0');
    DWORD const n = GetFinalPathNameByHandleW(handle, resolved.data(), size, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= size) return false;
    resolved.resize(n);
    path = resolved;
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

// Stops an interrupt from removing the temporary file: it is gone or in place.
void forget_temporary(OutputFile& file) {
    file.temporary_path.clear();
    interrupted_temporary = nullptr;
}

// Closes the output and removes the temporary file. The caller holds the lock.
void close_and_remove(OutputFile& file) {
    if (file.handle != nullptr) CloseHandle(handle_of(file.handle));
    file.handle = nullptr;
    if (!file.temporary_path.empty()) DeleteFileW(file.temporary_path.c_str());
    forget_temporary(file);
}

void discard(OutputFile& file) {
    TemporaryLock const lock;
    close_and_remove(file);
}

}  // namespace

OutputFile::~OutputFile() { discard(*this); }

bool open_output(OutputFile& file, NativeStringView name, FileMode mode, InputFile const& input) {
    file.mode = mode;
    std::wstring path(name);
    // Opened for writing, as a plain open would be, an existing target that
    // may not be written (read-only, a directory, denied by its security)
    // fails here, before the input is read.
    HANDLE const existing = CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, share_all, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        if (!is_missing(GetLastError()) || !make_absolute(path)) return false;
    } else if (GetFileType(existing) != FILE_TYPE_DISK) {
        // Devices (NUL, CON) and pipes cannot be replaced; they are written
        // as they are.
        file.handle = existing;
        file.target_path = path;
        return true;
    } else {
        // The read-only attribute is checked as well, for systems that let
        // an administrator open such a file for writing (Wine run by root).
        BY_HANDLE_FILE_INFORMATION info;
        bool const writable = GetFileInformationByHandle(existing, &info) &&
                              !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
        // Where the system cannot tell the final path (Wine past MAX_PATH
        // characters), the target is replaced under the name it was given.
        bool const resolved = writable && (final_path(existing, path) || make_absolute(path));
        CloseHandle(existing);
        if (!resolved) return false;
        file.target_exists = true;
        file.in_place = input.identity == identity_of(info);
    }
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
    // In place the old content is the only copy of the text: the new one
    // reaches the disk before it takes the old one's place.
    if (file.in_place && !FlushFileBuffers(handle)) {
        discard(file);
        return false;
    }
    TemporaryLock const lock;
    file.handle = nullptr;
    if (CloseHandle(handle) && (file.temporary_path.empty() || put_in_place(file))) {
        forget_temporary(file);
        return true;
    }
    close_and_remove(file);
    return false;
}

}  // namespace codepage
