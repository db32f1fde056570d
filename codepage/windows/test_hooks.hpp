// Test builds only (compiled with CODEPAGE_TEST_HOOKS): the points where
// the Wine checks hold a run, and a replacement that fails the way a busy
// system makes it fail. Environment variables choose them, so that one
// test build serves every case.
#pragma once

#ifdef CODEPAGE_TEST_HOOKS

#include <cwchar>
#include <string>
#include <string_view>

#include "codepage/windows/windows_api.hpp"

namespace codepage::test_hooks {

inline std::wstring environment(wchar_t const* name) {
    wchar_t value[64];
    DWORD const n = GetEnvironmentVariableW(name, value, 64);
    return n > 0 && n < 64 ? std::wstring(value, n) : std::wstring();
}

// Where CODEPAGE_TEST_PAUSE names `point`, says "paused" on standard error
// and waits for a line on standard input: meanwhile the test acts on the
// files as another program would.
inline void pause_at(std::wstring_view point) {
    if (environment(L"CODEPAGE_TEST_PAUSE") != point) return;
    DWORD n;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "paused\n", 7, &n, nullptr);
    char line;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &line, 1, &n, nullptr) && n == 1 && line != '\n') {
    }
}

// ReplaceFileW, unless CODEPAGE_TEST_REPLACE_FAULT holds one of its error
// codes: then it fails with that code, after doing to the target what
// ReplaceFileW had done by then. ERROR_UNABLE_TO_MOVE_REPLACEMENT: the
// target is gone (Wine deletes it once moved aside); _2: it stands under
// another name, the target's with "~" appended. Where
// CODEPAGE_TEST_REPLACE_TAKEN is set, a directory takes the target's name
// next, as a program watching the directory might make one.
inline BOOL replace_file(wchar_t const* target, wchar_t const* temporary) {
    std::wstring const fault = environment(L"CODEPAGE_TEST_REPLACE_FAULT");
    if (fault.empty())
        return ReplaceFileW(target, temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    DWORD const error = static_cast<DWORD>(std::wcstoul(fault.c_str(), nullptr, 10));
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT) DeleteFileW(target);
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) MoveFileW(target, (std::wstring(target) + L"~").c_str());
    if (!environment(L"CODEPAGE_TEST_REPLACE_TAKEN").empty()) CreateDirectoryW(target, nullptr);
    SetLastError(error);
    return FALSE;
}

}  // namespace codepage::test_hooks

#endif
