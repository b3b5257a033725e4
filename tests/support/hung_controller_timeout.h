// Force-included into the bridge build that the hung-controller test runs on
// the real PowerShell: its time-out counts from the moment the test entry has
// hung (its process id in STANDIN_RECORD_DIR\process.txt), not from
// PowerShell's start, which a slow machine makes long. The bridge waits here
// before its own wait begins; the controller runs meanwhile.
#pragma once

#include <windows.h>

inline DWORD HungControllerTimeoutMs()
{
    wchar_t path[MAX_PATH + 16];
    DWORD length = GetEnvironmentVariableW(L"STANDIN_RECORD_DIR", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return 0;
    }
    lstrcatW(path, L"\\process.txt");
    for (DWORD waited = 0; waited < 600000 && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; waited += 50) {
        Sleep(50);
    }
    return 2000;
}
