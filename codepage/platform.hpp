// Console and file services of the platform. Everything that differs
// between operating systems is behind these declarations; platform_posix.cpp
// implements them for POSIX systems.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "byte.hpp"

namespace codepage {

// File names and arguments exactly as the command line holds them.
using NativeChar = char;
using NativeStringView = std::basic_string_view<NativeChar>;

// The arguments of `main` after the program's name.
inline std::span<const NativeChar* const> arguments_of(int argc, NativeChar** argv) {
    if (argc < 1) return {};
    return {argv + 1, static_cast<std::size_t>(argc - 1)};
}

// Takes every locale category from the environment; decides the encoding
// in which messages reach the console.
void set_locale_from_environment();

// Prints a UTF-8 message on standard output in the console's encoding, or
// in UTF-8 where that encoding cannot hold it. A "%s" in the message is
// replaced by `name`, written byte for byte as the command line gave it.
void print_message(std::string_view message, NativeStringView name = {});

// Text mode translates line ends where the platform has a convention for
// them; POSIX systems have none, so both modes read and write bytes as they are.
enum class FileMode { text, binary };

struct InputFile {
    int fd = -1;
    // A regular file's size when it was opened, and what has been read of
    // it: a file that ends sooner than that lost bytes while being read.
    long long expected_size = -1;
    long long bytes_read = 0;

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
// dropped. A target that is not a regular file (a device, a FIFO) is
// written directly.
struct OutputFile {
    int fd = -1;
    std::string temporary_path;  // empty when writing the target directly
    std::string target_path;
    unsigned target_mode = 0;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

// Prepares the output for `name`. False when it cannot be created.
bool open_output(OutputFile& file, NativeStringView name, FileMode mode);

// Writes all of `bytes`. False on a write error.
bool write_output(OutputFile& file, std::span<const Byte> bytes);

// Closes the output and puts it in place of the target. False when any
// byte could not be written or the file could not be put in place; the
// target is then left as it was.
bool commit_output(OutputFile& file);

}  // namespace codepage
