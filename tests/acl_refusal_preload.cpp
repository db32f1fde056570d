// Loaded into a program with LD_PRELOAD: the file system refuses every
// POSIX ACL the program sets, as one would that keeps no ACLs of its own
// kind. Loading it creates the file ACL_REFUSAL_MARKER names, so that a test
// can tell a statically linked program, which this cannot reach.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

[[gnu::constructor]] void mark_loaded() {
    if (char const* marker = std::getenv("ACL_REFUSAL_MARKER")) close(open(marker, O_WRONLY | O_CREAT, 0644));
}

}  // namespace

extern "C" int fsetxattr(int fd, char const* name, void const* value, std::size_t size, int flags) {
    if (std::strncmp(name, "system.posix_acl", 16) == 0) {
        errno = EPERM;
        return -1;
    }
    using Next = int (*)(int, char const*, void const*, std::size_t, int);
    static auto const next = reinterpret_cast<Next>(dlsym(RTLD_NEXT, "fsetxattr"));
    return next(fd, name, value, size, flags);
}
