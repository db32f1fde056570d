// Reading the input file.
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "codepage/platform.hpp"

namespace codepage {

InputFile::~InputFile() {
    if (fd >= 0) close(fd);
}

bool open_input(InputFile& file, NativeStringView name, FileMode) {
    file.fd = open(std::string(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) return false;
    struct stat st;
    if (fstat(file.fd, &st) != 0) return true;
    file.identity = FileIdentity{st.st_dev, st.st_ino};
    if (S_ISREG(st.st_mode)) file.expected_size = st.st_size;
    return true;
}

std::ptrdiff_t read_input(InputFile& file, std::span<Byte> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        ssize_t const n = read(file.fd, buffer.data() + filled, buffer.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            if (file.bytes_read + static_cast<long long>(filled) < file.expected_size) return -1;
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    file.bytes_read += static_cast<long long>(filled);
    return static_cast<std::ptrdiff_t>(filled);
}

}  // namespace codepage
