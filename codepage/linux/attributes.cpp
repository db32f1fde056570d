#include "codepage/linux/attributes.hpp"

#include <cerrno>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace codepage {

namespace {

constexpr std::string_view access_acl = "system.posix_acl_access";

// Attributes of the system namespace carry access rules (POSIX and NFSv4
// ACLs); the others (user, security, trusted) are copied where the caller is
// allowed to set them.
bool grants_access(std::string_view name) { return name.starts_with("system."); }

// Calls `get(buffer, size)` with a growing buffer until the whole value
// fits; xattr calls report the size needed when given none.
template <typename Get>
bool read_whole(std::vector<char>& value, Get get) {
    for (int tries = 0; tries < 8; ++tries) {
        ssize_t const needed = get(nullptr, 0);
        if (needed <= 0) {
            value.clear();
            return needed == 0;
        }
        value.resize(static_cast<std::size_t>(needed));
        ssize_t const n = get(value.data(), value.size());
        if (n >= 0) {
            value.resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE) return false;  // ERANGE: it grew in between
    }
    return false;
}

// The names of the extended attributes of the file `path` leads to; none
// where the file system has no extended attributes. Where it has them but
// lists none (a FUSE file system may answer getxattr and not listxattr),
// the access ACL is still looked for by its name.
bool attribute_names(char const* path, std::vector<std::string>& names) {
    std::vector<char> list;
    if (!read_whole(list, [path](char* buffer, std::size_t size) { return listxattr(path, buffer, size); })) {
        if (errno != ENOTSUP) return false;
        names.emplace_back(access_acl);
        return true;
    }
    for (std::size_t i = 0; i < list.size();) {
        std::string_view const name(list.data() + i);
        names.emplace_back(name);
        i += name.size() + 1;
    }
    return true;
}

enum class Copy { copied, absent, failed };

// An attribute the file does not have (any more) is absent; one that
// carries no access rules is absent too where it cannot be copied.
Copy copy_attribute(char const* from, int to, std::string const& name) {
    std::vector<char> value;
    if (!read_whole(value, [&](char* buffer, std::size_t size) { return getxattr(from, name.c_str(), buffer, size); }))
        return errno == ENODATA || errno == ENOTSUP || !grants_access(name) ? Copy::absent : Copy::failed;
    if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) == 0) return Copy::copied;
    return grants_access(name) ? Copy::failed : Copy::absent;
}

bool copy_extended_attributes(char const* from, int to) {
    std::vector<std::string> names;
    if (!attribute_names(from, names)) return false;
    bool has_access_acl = false;
    for (auto const& name : names) {
        Copy const copy = copy_attribute(from, to, name);
        if (copy == Copy::failed) return false;
        has_access_acl = has_access_acl || (copy == Copy::copied && name == access_acl);
    }
    // A default ACL of the directory gave the new file an ACL of its own,
    // which the old file did not have.
    return has_access_acl || fremovexattr(to, access_acl.data()) == 0 || errno == ENODATA || errno == ENOTSUP;
}

}  // namespace

bool copy_attributes(Ownership const& from, char const* from_path, int to) {
    // Only root may give a file away; a member of the file's group may
    // still keep the group, as the other members need.
    if (fchown(to, from.owner, from.group) != 0 && fchown(to, static_cast<uid_t>(-1), from.group) != 0) {
        // Neither: the file stays ours and in our group.
    }
    // The mode comes last: chown clears the set-user-ID and set-group-ID
    // bits. Where an ACL was copied, the mode's group bits are its mask and
    // the old file's group bits were that same mask, so the mode changes no
    // access the ACL gives.
    return copy_extended_attributes(from_path, to) && fchmod(to, from.mode & 07777) == 0;
}

}  // namespace codepage
