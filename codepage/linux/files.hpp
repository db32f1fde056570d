// The Linux backend's open files: descriptors, and what the replacement of
// the output needs to know.
#pragma once

#include <optional>

#include "codepage/linux/attributes.hpp"
#include "codepage/linux/file_version.hpp"
#include "codepage/native.hpp"

namespace codepage {

struct InputFile {
    int fd = -1;
    // A regular file's size when it was opened (the blocks are sized by
    // it), and how it stood then: a file that is not the same at its end
    // was changed while it was read.
    long long expected_size = -1;
    std::optional<FileVersion> opened_version;
    // Taken when it was opened: an output with the same identity is the
    // input itself, converted in place.
    std::optional<FileIdentity> identity;

    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();
};

struct OutputFile {
    int fd = -1;
    int directory_fd = -1;       // the target's directory, which holds the temporary file
    bool target_exists = false;  // its owner, attributes and mode go to the new file
    // The existing target as it was found at the start (O_PATH), which file
    // it is and how it stood then: only that file, unchanged and still under
    // its name, is replaced.
    int original_fd = -1;
    FileIdentity original_identity;
    FileVersion original_version;
    Ownership original_ownership;
    FileIdentity directory_identity;
    bool in_place = false;       // the target is the input: flushed to disk around the replacement
    bool ends_soon = false;      // the input is a small regular file: signals wait for the end of the run
    // In place, until the output first differs from the target's content:
    // a descriptor to read that content by, and how much of it the output
    // has repeated so far. The temporary file does not exist yet.
    int compared_fd = -1;
    long long unchanged = 0;
    NativeString temporary_path;  // a name in directory_fd; empty when writing the target directly
    NativeString target_path;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

}  // namespace codepage
