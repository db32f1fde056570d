// What a replaced file keeps: its owner and group, its extended attributes
// (POSIX ACLs among them) and its mode.
#pragma once

namespace codepage {

// Gives the file open as `to` the owner, group, extended attributes and mode
// of the regular file open as `from` (O_PATH will do), whose extended
// attributes are read through `from_path`, a name that leads to it (the
// system has no calls for them on such a descriptor). False when `from`
// cannot be examined or its access rules cannot be carried over whole; the
// new file must then not take its place, since it could be open to more
// users than the old one was.
bool copy_attributes(int from, char const* from_path, int to);

}  // namespace codepage
