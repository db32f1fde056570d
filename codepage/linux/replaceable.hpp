// What the system refuses only when the new file is renamed over the
// target, found out before anything is written.
#pragma once

namespace codepage {

// Whether a file renamed into `directory` may take the place of the
// existing `target` (-1 where there is none yet), both open with O_PATH.
// Not in an append-only or immutable directory, where the temporary file
// could be neither renamed nor removed; not over an append-only file; in a
// sticky directory, such as /tmp, only over a file of the user's own, in a
// directory of the user's own, or where the user may override ownership
// (root).
bool rename_may_replace(int directory, int target);

}  // namespace codepage
