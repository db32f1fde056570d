// Console and file services of the platform: everything that differs
// between operating systems is behind these declarations. Each backend
// (linux/, windows/) defines its open files in its files.hpp and implements
// the services in its own folder.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "codepage/cp932/byte.hpp"
#include "codepage/native.hpp"

#ifdef _WIN32
#include "codepage/windows/files.hpp"
#else
#include "codepage/linux/files.hpp"
#endif

namespace codepage {

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
// every locale category from the environment, which decides that
// encoding. A "%s" in the message is replaced by `name`, written byte for
// byte as the command line gave it. Where standard output is one of the
// files named by name_message_files, the message goes to standard error
// instead.
void print_message(std::string_view message, NativeStringView name = {});

// The files of a run, [in] and [out] as the command line gave them (empty
// names: none). A message must not land in a file it is about, as with
// `litconv f.c /dev/stdout >> f.c`: while standard output is one of them
// (the same device and inode; on Windows the same file), messages go to
// standard error. The names must outlive the messages.
void name_message_files(NativeStringView in, NativeStringView out);

// What became of opening [in]: open, not opened, or opened but not known
// for the file its name leads to (the system would not tell which file it
// is, or the name led to another file by the time it did), which the run
// reports as a file it cannot read.
enum class InputOpening { opened, cannot_open, cannot_read };

// Opens `name` for reading.
InputOpening open_input(InputFile& file, NativeStringView name, FileMode mode);

// Fills `buffer` unless the end of the file comes first. Returns the number
// of bytes read, or -1 on a read error, which includes a regular file that
// was changed while it was read, as far as the backend can tell.
std::ptrdiff_t read_input(InputFile& file, std::span<Byte> buffer);

// The output goes to a temporary file beside the target, which replaces the
// target only when commit_output succeeds; until then an existing target
// keeps its content, and the temporary file is removed if the output is
// dropped or a signal ends the program. A target that is not a regular file
// (a device, a FIFO, a descriptor the program was started with) is written
// directly.
//
// Prepares the output for `name`, which may be the file `input` reads.
// False when it cannot be created, or an existing target may not be
// written: the failure shows before any byte is read.
bool open_output(OutputFile& file, NativeStringView name, FileMode mode, InputFile const& input);

// Writes all of `bytes`. False on a write error.
bool write_output(OutputFile& file, std::span<const Byte> bytes);

// Closes the output and puts it in place of the target. False when any
// byte could not be written or the file could not be put in place, which
// includes a target that another process changed or swapped meanwhile; the
// target is then left as it was.
bool commit_output(OutputFile& file);

}  // namespace codepage
