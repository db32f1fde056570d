// What a replaced file keeps: its owner and group, its extended attributes
// (POSIX ACLs among them) and its mode.
#pragma once

#include <sys/types.h>

namespace codepage {

// Who a regular file belongs to, and its mode.
struct Ownership {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
};

// Gives the file open as `to` the owner, group and mode `from`, and the
// extended attributes of the file `from_path` leads to (the system has no
// calls for them on an O_PATH descriptor). False when those attributes
// cannot be read or its access rules cannot be carried over whole; the new
// file must then not take its place, since it could be open to more users
// than the old one was.
bool copy_attributes(Ownership const& from, char const* from_path, int to);

}  // namespace codepage
