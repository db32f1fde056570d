#include "codepage/linux/replaceable.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace codepage {

namespace {

// statx reports the file attributes that chattr sets beside the owner and
// the mode, and takes an O_PATH descriptor; FS_IOC_GETFLAGS needs the file
// open for reading, which a directory of search right only does not allow.
bool status_of(int fd, struct statx& sx) {
    return statx(fd, "", AT_EMPTY_PATH, STATX_MODE | STATX_UID, &sx) == 0;
}

bool has_attribute(struct statx const& sx, unsigned long long attributes) {
    return (sx.stx_attributes_mask & sx.stx_attributes & attributes) != 0;
}

// CAP_FOWNER in the effective set: the C library has no call that asks.
bool may_override_ownership() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capget, &header, data) == 0 && (data[CAP_FOWNER / 32].effective >> (CAP_FOWNER % 32) & 1) != 0;
}

}  // namespace

bool rename_may_replace(int directory, int target) {
    struct statx directory_status, target_status;
    if (!status_of(directory, directory_status) || has_attribute(directory_status, STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE))
        return false;
    if (target < 0) return true;
    if (!status_of(target, target_status) || has_attribute(target_status, STATX_ATTR_APPEND)) return false;
    if ((directory_status.stx_mode & S_ISVTX) == 0) return true;
    uid_t const user = geteuid();
    return target_status.stx_uid == user || directory_status.stx_uid == user || may_override_ownership();
}

}  // namespace codepage
