// Console and file services of the platform. Everything that differs
// between operating systems is behind these declarations; the *_posix.cpp
// files implement them for POSIX systems, the *_windows.cpp files for Windows.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "byte.hpp"
#include "cp932.hpp"

namespace codepage {

// File names and arguments exactly as the command line holds them: bytes
// on POSIX systems, UTF-16 on Windows (wmain).
#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
using NativeString = std::basic_string<NativeChar>;
using NativeStringView = std::basic_string_view<NativeChar>;

// The arguments of `main` after the program's name.
inline std::span<const NativeChar* const> arguments_of(int argc, NativeChar** argv) {
    if (argc < 1) return {};
    return {argv + 1, static_cast<std::size_t>(argc - 1)};
}

// Each program's own work; entry_point.cpp calls it from main (wmain on
// Windows) with the arguments after the program's name, and returns its
// exit status.
int program_main(std::span<const NativeChar* const> arguments);

// Prints a UTF-8 message on standard output in the console's encoding, or
// in UTF-8 where that encoding cannot hold it. The first message takes
// every locale category from the environment, which decides that encoding. A "%s" in the message is
// replaced by `name`, written byte for byte as the command line gave it.
void print_message(std::string_view message, NativeStringView name = {});

// Text mode translates line ends where the platform has a convention for
// them; POSIX systems have none, so both modes read and write bytes as they
// are. On Windows text mode reads CR LF as LF and writes LF as CR LF, and
// nothing else: unlike the C runtime's text mode it never ends the file at
// a Ctrl-Z byte.
enum class FileMode { text, binary };

// Which file an open file is, whatever name it was opened by: its device
// (volume) and its number there (inode, file index).
struct FileIdentity {
    unsigned long long device = 0;
    unsigned long long file = 0;
    friend bool operator==(FileIdentity const&, FileIdentity const&) = default;
};

struct InputFile {
#ifdef _WIN32
    void* handle = nullptr;  // HANDLE, closed as soon as the end is read
    FileMode mode = FileMode::binary;
    int byte_after_cr = -1;  // text mode: the byte read ahead after a CR
#else
    int fd = -1;
#endif
    // A regular file's size when it was opened, and what has been read of
    // it: a file that ends sooner than that lost bytes while being read.
    long long expected_size = -1;
    long long bytes_read = 0;
    // Taken when it was opened, where the system tells it: an output with
    // the same identity is the input itself, converted in place.
    std::optional<FileIdentity> identity;

    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();
};

// Opens `name` for reading. False when it cannot be opened.
bool open_input(InputFile& file, NativeStringView name, FileMode mode);

// Fills `buffer` unless the end of the file comes first. Returns the number
// of bytes read, or -1 on a read error, which includes a regular file that
// ends before the size it had when it was opened.
std::ptrdiff_t read_input(InputFile& file, std::span<Byte> buffer);

// The output goes to a temporary file beside the target, which replaces the
// target only when commit_output succeeds; until then an existing target
// keeps its content, and the temporary file is removed if the output is
// dropped or a signal ends the program. A target that is not a regular file
// (a device, a FIFO, a descriptor the program was started with) is written
// directly.
struct OutputFile {
#ifdef _WIN32
    void* handle = nullptr;  // HANDLE
    FileMode mode = FileMode::binary;
    bool target_exists = false;  // replaced with ReplaceFileW, keeping its attributes
    bool in_place = false;       // the target is the input: flushed to disk before it is replaced
#else
    int fd = -1;
    int directory_fd = -1;       // the target's directory, which holds the temporary file
    bool target_exists = false;  // its owner, attributes and mode go to the new file
    bool in_place = false;       // the target is the input: flushed to disk around the rename
#endif
    // On POSIX systems the temporary path is a name in directory_fd.
    NativeString temporary_path;  // empty when writing the target directly
    NativeString target_path;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

// Prepares the output for `name`, which may be the file `input` reads.
// False when it cannot be created, or an existing target may not be
// written: the failure shows before any byte is read.
bool open_output(OutputFile& file, NativeStringView name, FileMode mode, InputFile const& input);

// Writes all of `bytes`. False on a write error.
bool write_output(OutputFile& file, std::span<const Byte> bytes);

// Closes the output and puts it in place of the target. False when any
// byte could not be written or the file could not be put in place; the
// target is then left as it was.
bool commit_output(OutputFile& file);

// Decodes a whole text from code page 932 to UTF-8 the way the platform
// does. POSIX systems have no code page 932 of their own: the portable
// decoder of cp932.hpp does the work. Windows converts with its code page
// 932 whatever its ANSI code page (MultiByteToWideChar, then
// WideCharToMultiByte to UTF-8) and gives its own answer for bytes that are
// not valid code page 932. Either way a lead byte at the end of one block
// waits for the first byte of the next, and `out` must hold
// max_utf8_length(in.size()) bytes.
#ifdef _WIN32
struct TextDecoder {
    int held_lead = -1;
};
std::size_t text_to_utf8(TextDecoder& decoder, std::span<const Byte> in, bool last, std::span<Byte> out);
#else
using TextDecoder = Decoder;
inline std::size_t text_to_utf8(TextDecoder& decoder, std::span<const Byte> in, bool last,
                                std::span<Byte> out) {
    return decode_to_utf8(decoder, in, last, out);
}
#endif

}  // namespace codepage
