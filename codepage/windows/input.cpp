// Reading the input on Windows: Win32 files by UTF-16 name, and text mode that
// turns CR LF into LF and nothing else.
#include <algorithm>

#include "codepage/platform.hpp"
#include "codepage/windows/test_hooks.hpp"
#include "codepage/windows/windows_api.hpp"

namespace codepage {

namespace {

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

}  // namespace

InputFile::~InputFile() {
    if (handle != nullptr) CloseHandle(handle_of(handle));
}

InputOpening open_input(InputFile& file, NativeStringView name, FileMode mode) {
    std::wstring const path(name);
    // Others may read, rename and delete [in] while it is read, but not
    // write it: an editor cannot save into it meanwhile, so that the run
    // never reads a splice of old and new text; a file that another program
    // holds open for writing does not open. With backup semantics a
    // directory opens too; reading it fails then.
    HANDLE const handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return InputOpening::cannot_open;
#ifdef CODEPAGE_TEST_HOOKS
    test_hooks::pause_at(L"input");
#endif
    file.handle = handle;
    file.mode = mode;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)) return InputOpening::opened;
    file.identity = identity_of(info);
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        file.expected_size = (static_cast<long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return InputOpening::opened;
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

}  // namespace codepage
