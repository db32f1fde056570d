// What the Windows files of this library share: the Win32 API without the
// parts they never use, and the view of the handles that files.hpp keeps
// as void*.
#pragma once

#ifndef NOMINMAX  // std::min, not the macro (libstdc++ may have said so already)
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "codepage/platform.hpp"

namespace codepage {

inline HANDLE handle_of(void* handle) { return static_cast<HANDLE>(handle); }

inline FileIdentity identity_of(BY_HANDLE_FILE_INFORMATION const& info) {
    return {info.dwVolumeSerialNumber, static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

// Others may read, write, rename and delete a file while it is open here.
inline constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace codepage
