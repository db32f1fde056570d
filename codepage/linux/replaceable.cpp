#include "codepage/linux/replaceable.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace codepage {

namespace {

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

bool rename_may_replace(struct statx const& directory, struct statx const* target) {
    if (has_attribute(directory, STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) return false;
    if (target == nullptr) return true;
    if (has_attribute(*target, STATX_ATTR_APPEND)) return false;
    if ((directory.stx_mode & S_ISVTX) == 0) return true;
    uid_t const user = geteuid();
    return target->stx_uid == user || directory.stx_uid == user || may_override_ownership();
}

}  // namespace codepage
