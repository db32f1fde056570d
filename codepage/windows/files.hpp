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

// What an existing [out] was when the run began: it is replaced only if its
// name still holds that file, unchanged by others.
struct TargetState {
    FileIdentity identity;
    unsigned long long size = 0;
    unsigned long long write_time = 0;
    friend bool operator==(TargetState const&, TargetState const&) = default;
};

struct OutputFile {
    void* handle = nullptr;  // HANDLE: the temporary file, or a device written directly
    FileMode mode = FileMode::binary;
    std::optional<TargetState> existing;  // replaced with ReplaceFileW, keeping its attributes
    bool in_place = false;  // the target is the input: flushed to disk before it is replaced
    // In place, until the new text first differs from the old: the target
    // open for reading, and how many of its bytes the new text repeats. No
    // temporary file exists meanwhile.
    void* original = nullptr;  // HANDLE
    unsigned long long matched = 0;
    NativeString temporary_path;  // empty when writing the target directly
    NativeString target_path;
    // A temporary file left behind because the target went from its name
    // while being replaced: it holds the only copy of the text.
    NativeString kept_path;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

}  // namespace codepage
