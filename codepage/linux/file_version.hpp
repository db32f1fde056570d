// What tells that a file was changed while a run used it: its size and the
// times of its last modification and last status change, which every
// write, truncation, chmod or chown moves on.
#pragma once

#include <sys/stat.h>

namespace codepage {

struct FileVersion {
    long long size = 0;
    long long modified_seconds = 0, modified_nanoseconds = 0;
    long long changed_seconds = 0, changed_nanoseconds = 0;
    friend bool operator==(FileVersion const&, FileVersion const&) = default;
};

inline FileVersion version_of(struct stat const& st) {
    return {st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

inline FileVersion version_of(struct statx const& sx) {
    return {static_cast<long long>(sx.stx_size), sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec, sx.stx_ctime.tv_sec,
            sx.stx_ctime.tv_nsec};
}

}  // namespace codepage
