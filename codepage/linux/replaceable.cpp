#include "codepage/linux/replaceable.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace codepage {

namespace {

// The file attributes that chattr sets, as statx reports them: it takes an
// O_PATH descriptor, where FS_IOC_GETFLAGS needs the file open for
// reading, which a directory of search right only does not allow.
bool has_attribute(int fd, unsigned long long attributes) {
    struct statx sx;
    return statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &sx) == 0 &&
           (sx.stx_attributes_mask & sx.stx_attributes & attributes) != 0;
}

// CAP_FOWNER in the effective set: the C library has no call that asks.
bool may_override_ownership() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capget, &header, data) == 0 && (data[CAP_FOWNER / 32].effective >> (CAP_FOWNER % 32) & 1) != 0;
}

}  // namespace

bool rename_may_replace(int directory, int target) {
    if (has_attribute(directory, STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) return false;
    if (target < 0) return true;
    if (has_attribute(target, STATX_ATTR_APPEND)) return false;
    struct stat directory_status, target_status;
    if (fstat(directory, &directory_status) != 0 || fstat(target, &target_status) != 0) return false;
    if ((directory_status.st_mode & S_ISVTX) == 0) return true;
    uid_t const user = geteuid();
    return target_status.st_uid == user || directory_status.st_uid == user || may_override_ownership();
}

}  // namespace codepage
