// Morvellane pre-launch bridge: the safe path check and pinned-file verification.
#include "bridge.h"

#include <bcrypt.h>

const DWORD kReadChunk = 65536;
const ULONG kDigestLength = 32;

static wchar_t g_safePathCopy[kTextCapacity];
static unsigned char g_readBuffer[kReadChunk];

static bool HasDotStep(const wchar_t* path, int length)
{
    for (int index = 0; index + 2 < length; ++index) {
        if (path[index] != L'\\' || path[index + 1] != L'.') {
            continue;
        }
        if (path[index + 2] == L'\\') {
            return true;
        }
        if (index + 3 < length && path[index + 2] == L'.' && path[index + 3] == L'\\') {
            return true;
        }
    }
    return false;
}

bool IsSafePath(const wchar_t* path)
{
    int length = 0;
    while (length < kTextCapacity && path[length] != L'\0') {
        ++length;
    }
    if (length < 4 || length > kTextCapacity - 1) {
        return false;
    }
    if (path[1] != L':' || path[2] != L'\\') {
        return false;
    }
    for (int index = 2; index < length; ++index) {
        if (path[index] == L':') {
            return false;
        }
    }
    if (HasDotStep(path, length)) {
        return false;
    }

    for (int index = 0; index <= length; ++index) {
        g_safePathCopy[index] = path[index];
    }
    // Query every step from the first directory below the drive to the leaf.
    for (int index = 3; index <= length; ++index) {
        if (index < length && g_safePathCopy[index] != L'\\') {
            continue;
        }
        wchar_t separator = g_safePathCopy[index];
        g_safePathCopy[index] = L'\0';
        DWORD attributes = GetFileAttributesW(g_safePathCopy);
        g_safePathCopy[index] = separator;
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return false;
        }
        if (index < length && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return false;
        }
    }
    return true;
}

// Hashes the whole open file in chunks; the byte count must stay within the
// bound and end equal to the size seen at the start.
static bool HashedContentMatches(HANDLE file, BCRYPT_HASH_HANDLE hash, LONGLONG size,
                                 const unsigned char* expectedDigest, DWORD maximumSize)
{
    DWORD total = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, g_readBuffer, kReadChunk, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        total += read;
        if (total > maximumSize || !BCRYPT_SUCCESS(BCryptHashData(hash, g_readBuffer, read, 0))) {
            return false;
        }
    }
    unsigned char digest[kDigestLength];
    if (static_cast<LONGLONG>(total) != size || !BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, kDigestLength, 0))) {
        return false;
    }
    for (ULONG index = 0; index < kDigestLength; ++index) {
        if (digest[index] != expectedDigest[index]) {
            return false;
        }
    }
    return true;
}

static bool OpenFileMatches(HANDLE file, const unsigned char* expectedDigest, DWORD maximumSize)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0 || size.QuadPart > maximumSize) {
        return false;
    }
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool matches = false;
    if (BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0))) {
        matches = HashedContentMatches(file, hash, size.QuadPart, expectedDigest, maximumSize);
    }
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    if (provider != nullptr) {
        BCryptCloseAlgorithmProvider(provider, 0);
    }
    return matches;
}

HANDLE OpenPinnedFile(const wchar_t* path, const unsigned char* expectedDigest, DWORD maximumSize)
{
    if (!IsSafePath(path)) {
        return INVALID_HANDLE_VALUE;
    }
    // A link at the leaf is opened as itself and never followed.
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    if (!OpenFileMatches(file, expectedDigest, maximumSize)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}
