// What the system refuses only when the new file is renamed over the
// target, found out before anything is written.
#pragma once

#include <sys/stat.h>

namespace codepage {

// Whether a file renamed into the directory of status `directory` may take
// the place of the existing file of status `target` (none where there is no
// such file yet), both with the basic fields and the file attributes.
// Not in an append-only or immutable directory, where the temporary file
// could be neither renamed nor removed; not over an append-only file; in a
// sticky directory, such as /tmp, only over a file of the user's own, in a
// directory of the user's own, or where the user may override ownership
// (root).
bool rename_may_replace(struct statx const& directory, struct statx const* target);

}  // namespace codepage
