// Writing the output on Windows: a temporary file beside the target, put in its
// place with ReplaceFileW once every byte is written, and removed when the
// output is dropped or the console interrupts the program. In place, the
// temporary file is made only where the new text first differs from the
// old; a file that would come out the same is left untouched.
#include <algorithm>

#include "codepage/command/messages.hpp"
#include "codepage/platform.hpp"
#include "codepage/windows/test_hooks.hpp"
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

TargetState state_of(BY_HANDLE_FILE_INFORMATION const& info) {
    return {identity_of(info), static_cast<unsigned long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow,
            static_cast<unsigned long long>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                info.ftLastWriteTime.dwLowDateTime};
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

// Whether `name` is a stream of a file (a.c:s, a.c::$DATA): a colon in its
// last component, once absolute (a drive's colon never stands there). The
// temporary file beside it would be a stream of a new file of its own.
bool names_stream(NativeStringView name) {
    std::wstring path(name);
    return make_absolute(path) && path.find(L':', name_start(path)) != std::wstring::npos;
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
bool output_committed = false;  // the run has done its work

// Ctrl-C, Ctrl-Break and the closing of the console window end the program,
// a temporary file open or not yet made; it is opened shared for deletion,
// so that it goes when the process ends. The process ends here with the
// status that the system's own handler gives (some versions of Wine give 0,
// which would read as success); the lock is never given back, so the main
// thread cannot put the removed file in place meanwhile. Once the output
// is committed the run has succeeded, and it ends as it would have.
BOOL WINAPI remove_temporary_on_interrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    AcquireSRWLockExclusive(&temporary_lock);
    if (output_committed) {
        ReleaseSRWLockExclusive(&temporary_lock);
        return TRUE;
    }
    if (interrupted_temporary != nullptr) DeleteFileW(interrupted_temporary->c_str());
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Installed as the program is loaded, by a TLS callback, which the loader
// runs before the C runtime starts and the constructors run: an interrupt
// at any moment of the run ends it as interrupted, never with the status 0
// of a run that finished. The handler's state is constant-initialized.
void NTAPI install_interrupt_handler(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_ATTACH) SetConsoleCtrlHandler(remove_temporary_on_interrupt, TRUE);
}
[[gnu::section(".CRT$XLB"), gnu::used]] PIMAGE_TLS_CALLBACK const interrupt_handler_callback = install_interrupt_handler;

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
// that a link keeps pointing to it. Where the system cannot tell it (Wine
// past MAX_PATH characters), the target is replaced under the name it was
// given.
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

// What stands under the target's name just before it is replaced.
enum class TargetNow { unchanged, missing, changed };

TargetNow target_now(OutputFile const& file) {
    // A directory opens too, with backup semantics, and shows as changed.
    HANDLE const handle = CreateFileW(file.target_path.c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return is_missing(GetLastError()) ? TargetNow::missing : TargetNow::changed;
    BY_HANDLE_FILE_INFORMATION info;
    bool const same = GetFileInformationByHandle(handle, &info) && state_of(info) == file.existing;
    CloseHandle(handle);
    return same ? TargetNow::unchanged : TargetNow::changed;
}

BOOL replace_file(wchar_t const* target, wchar_t const* temporary) {
#ifdef CODEPAGE_TEST_HOOKS
    return test_hooks::replace_file(target, temporary);
#else
    return ReplaceFileW(target, temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
#endif
}

enum class Placement { done, failed, text_kept };

// Moves the finished temporary file over the target. An existing target is
// replaced with ReplaceFileW, which gives the new file the old one's
// attributes, security and creation time, and only while its name still
// holds the file it was at the start, unchanged: a file that another
// program changed or put there meanwhile is left as it is. A failure that
// leaves the temporary file holding the only copy of the text keeps it.
Placement put_in_place(OutputFile const& file) {
    wchar_t const* const temporary = file.temporary_path.c_str();
    wchar_t const* const target = file.target_path.c_str();
    bool moved_away = false;
    if (file.existing) {
        TargetNow const now = target_now(file);
        if (now == TargetNow::changed) return Placement::failed;
        if (now == TargetNow::unchanged) {
            if (replace_file(target, temporary)) return Placement::done;
            // Of ReplaceFileW's failures only these two come after it began
            // to move files: the target is no longer under its name (with
            // _2 it stands under another one, which is not told). Every
            // other failure, ERROR_UNABLE_TO_REMOVE_REPLACED included,
            // leaves both files under their own names.
            DWORD const error = GetLastError();
            moved_away = error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
            if (!moved_away && !is_missing(error)) return Placement::failed;
        }
    }
    // The name is free, or should be: the target was never there, went
    // meanwhile, or was moved aside. Whatever took an existing target's name
    // since is not replaced.
    if (MoveFileExW(temporary, target, file.existing ? 0 : MOVEFILE_REPLACE_EXISTING)) return Placement::done;
    // Once the target went from its name, in place above all, the text is
    // nowhere else.
    return moved_away || file.in_place ? Placement::text_kept : Placement::failed;
}

// Stops an interrupt from removing the temporary file: it is gone, in place
// or kept.
void forget_temporary(OutputFile& file) {
    file.temporary_path.clear();
    interrupted_temporary = nullptr;
}

// Closes the output and the original and removes the temporary file. The
// caller holds the lock.
void close_and_remove(OutputFile& file) {
    if (file.handle != nullptr) CloseHandle(handle_of(file.handle));
    file.handle = nullptr;
    if (file.original != nullptr) CloseHandle(handle_of(file.original));
    file.original = nullptr;
    if (!file.temporary_path.empty()) DeleteFileW(file.temporary_path.c_str());
    forget_temporary(file);
}

void discard(OutputFile& file) {
    TemporaryLock const lock;
    close_and_remove(file);
}

// ---- In place: comparing before anything is written

// Compares `bytes`, as they would go into the file, with the original's
// next bytes. Returns how many of them it repeats, or -1 when the original
// cannot be read. Memory stays bounded whatever the size of `bytes`.
std::ptrdiff_t repeated_prefix(HANDLE original, std::span<const Byte> bytes) {
    Byte old[16 * 1024];
    std::size_t same = 0;
    while (same < bytes.size()) {
        DWORD const want = static_cast<DWORD>(std::min(bytes.size() - same, sizeof old));
        DWORD got = 0;
        if (!ReadFile(original, old, want, &got, nullptr)) return -1;
        auto const part = bytes.subspan(same, got);
        auto const first_difference = std::ranges::mismatch(part, std::span(old, got)).in1;
        std::size_t const equal = static_cast<std::size_t>(first_difference - part.begin());
        same += equal;
        if (equal < got || got < want) break;  // a difference, or the original ends
    }
    return static_cast<std::ptrdiff_t>(same);
}

// Copies the first `size` bytes of `from` to `to`.
bool copy_prefix(HANDLE from, HANDLE to, unsigned long long size) {
    if (!SetFilePointerEx(from, LARGE_INTEGER{}, nullptr, FILE_BEGIN)) return false;
    Byte buffer[64 * 1024];
    while (size > 0) {
        DWORD const want = static_cast<DWORD>(std::min<unsigned long long>(size, sizeof buffer));
        DWORD got = 0;
        if (!ReadFile(from, buffer, want, &got, nullptr) || got == 0 || !write_raw(to, buffer, got)) return false;
        size -= got;
    }
    return true;
}

// The first difference: the temporary file is made and takes the part of
// the original that the new text repeats; the rest is written after it.
bool diverge(OutputFile& file) {
    HANDLE const original = handle_of(file.original);
    bool const copied = create_temporary(file, file.target_path) &&
                        copy_prefix(original, handle_of(file.handle), file.matched);
    CloseHandle(original);
    file.original = nullptr;
    return copied;
}

// Whether the original holds more than the new text repeated: 1, 0, or -1
// when it cannot be read.
int original_goes_on(OutputFile const& file) {
    Byte next;
    DWORD got = 0;
    if (!ReadFile(handle_of(file.original), &next, 1, &got, nullptr)) return -1;
    return got > 0 ? 1 : 0;
}

// Writes `bytes`, as they go into the file; in place, only from the first
// byte that differs from the original.
bool emit(OutputFile& file, std::span<const Byte> bytes) {
    if (file.original != nullptr) {
        std::ptrdiff_t const same = repeated_prefix(handle_of(file.original), bytes);
        if (same < 0) return false;
        file.matched += static_cast<unsigned long long>(same);
        if (static_cast<std::size_t>(same) == bytes.size()) return true;
        if (!diverge(file)) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(same));
    }
    return write_raw(handle_of(file.handle), bytes.data(), bytes.size());
}

// ---- Opening

// An existing file that may be written: the read-only attribute is
// checked as well, for systems that let an administrator open such a file
// for writing (Wine run by root).
bool writable_file(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileInformationByHandle(handle, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
}

// [in] stays open without FILE_SHARE_WRITE while it is read, so a target
// that is [in] does not open for writing. It opens here for reading, to be
// compared with the new text, and for deletion, which replacing it takes;
// any other file that refuses to be written stays refused.
bool open_in_place(OutputFile& file, std::wstring& path, InputFile const& input) {
    HANDLE const original = CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (original == INVALID_HANDLE_VALUE) return false;
    file.original = original;
    BY_HANDLE_FILE_INFORMATION info;
    if (!writable_file(original, info) || input.identity != identity_of(info) ||
        !(final_path(original, path) || make_absolute(path)))
        return false;
    file.existing = state_of(info);
    file.in_place = true;
    file.target_path = path;
    return true;
}

}  // namespace

OutputFile::~OutputFile() {
    discard(*this);
    // The run has said that the target could not be written; what is left
    // to say is where its text went.
    if (!kept_path.empty()) print_message(message_text_kept, kept_path);
}

bool open_output(OutputFile& file, NativeStringView name, FileMode mode, InputFile const& input) {
    file.mode = mode;
    if (names_stream(name)) return false;
    std::wstring path(name);
    // Opened for writing, as a plain open would be, an existing target that
    // may not be written (read-only, a directory, denied by its security)
    // fails here, before the input is read.
    HANDLE const existing = CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, share_all, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        DWORD const error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) return open_in_place(file, path, input);
        if (!is_missing(error) || !make_absolute(path)) return false;
    } else if (GetFileType(existing) != FILE_TYPE_DISK) {
        // Devices (NUL, CON) and pipes cannot be replaced; they are written
        // as they are.
        file.handle = existing;
        file.target_path = path;
        return true;
    } else {
        BY_HANDLE_FILE_INFORMATION info;
        bool const resolved = writable_file(existing, info) && (final_path(existing, path) || make_absolute(path));
        CloseHandle(existing);
        if (!resolved) return false;
        file.existing = state_of(info);
    }
    file.target_path = path;
    return create_temporary(file, path);
}

bool write_output(OutputFile& file, std::span<const Byte> bytes) {
    if (file.mode == FileMode::binary) return emit(file, bytes);
    // Text mode: every LF goes out as CR LF.
    Byte buffer[16 * 1024];
    std::size_t n = 0;
    for (Byte const b : bytes) {
        if (n + 2 > sizeof buffer) {
            if (!emit(file, std::span(buffer, n))) return false;
            n = 0;
        }
        if (b == '\n') buffer[n++] = '\r';
        buffer[n++] = b;
    }
    return emit(file, std::span(buffer, n));
}

bool commit_output(OutputFile& file) {
    if (file.original != nullptr) {
        // Nothing differed: unless the original goes on past the new text,
        // it stays as it is, with no temporary file, replacement or flush.
        int const more = original_goes_on(file);
        if (more <= 0 || !diverge(file)) {
            TemporaryLock const lock;
            close_and_remove(file);
            output_committed = more == 0;
            return output_committed;
        }
    }
    HANDLE const handle = handle_of(file.handle);
    // In place the old content is the only copy of the text: the new one
    // reaches the disk before it takes the old one's place.
    if (file.in_place && !FlushFileBuffers(handle)) {
        discard(file);
        return false;
    }
#ifdef CODEPAGE_TEST_HOOKS
    test_hooks::pause_at(L"replace");
#endif
    TemporaryLock const lock;
    file.handle = nullptr;
    Placement const placement = !CloseHandle(handle)           ? Placement::failed
                                : file.temporary_path.empty() ? Placement::done
                                                              : put_in_place(file);
    if (placement == Placement::failed) {
        close_and_remove(file);
        return false;
    }
    if (placement == Placement::text_kept) file.kept_path = file.temporary_path;
    forget_temporary(file);
    output_committed = placement == Placement::done;
    return output_committed;
}

}  // namespace codepage
