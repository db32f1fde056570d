// What the platform's services and their backends share: names as the
// command line holds them, how a file is opened, and which file it is.
#pragma once

#include <string>
#include <string_view>

namespace codepage {

// File names and arguments exactly as the command line holds them: bytes
// on Linux, UTF-16 on Windows (wmain).
#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
using NativeString = std::basic_string<NativeChar>;
using NativeStringView = std::basic_string_view<NativeChar>;

// Text mode translates line ends where the platform has a convention for
// them; Linux has none, so both modes read and write bytes as they are. On
// Windows text mode reads CR LF as LF and writes LF as CR LF, and nothing
// else: unlike the C runtime's text mode it never ends the file at a Ctrl-Z
// byte.
enum class FileMode { text, binary };

// Whether text mode reads CR LF as LF here, so that a CR before a line feed
// that reaches the program was a CR before a CR LF in the file.
#ifdef _WIN32
inline constexpr bool text_mode_reads_cr_lf_as_lf = true;
#else
inline constexpr bool text_mode_reads_cr_lf_as_lf = false;
#endif

// Which file an open file is, whatever name it was opened by: its device
// (volume) and its number there (inode, file index).
struct FileIdentity {
    unsigned long long device = 0;
    unsigned long long file = 0;
    friend bool operator==(FileIdentity const&, FileIdentity const&) = default;
};

}  // namespace codepage
