// The Windows backend's open files: handles, kept as void* so that this
// header needs no windows.h, and what the replacement of the output needs
// to know.
#pragma once

#include <optional>

#include "codepage/native.hpp"

namespace codepage {

struct InputFile {
    void* handle = nullptr;  // HANDLE, closed as soon as the end is read
    FileMode mode = FileMode::binary;
    int byte_after_cr = -1;  // text mode: the byte read ahead after a CR
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

struct OutputFile {
    void* handle = nullptr;  // HANDLE
    FileMode mode = FileMode::binary;
    bool target_exists = false;  // replaced with ReplaceFileW, keeping its attributes
    bool in_place = false;       // the target is the input: flushed to disk before it is replaced
    NativeString temporary_path;  // empty when writing the target directly
    NativeString target_path;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

}  // namespace codepage
