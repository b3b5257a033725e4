// STAND-IN, not the real header. The MSVC compiler's vcruntime_string.h ships
// with Visual Studio, not with the Windows SDK whose string.h includes it;
// this declares the functions it would, for the clang-cl check build only.
// The programs never call them.
#pragma once

#include <vcruntime.h>

#ifndef _CONST_RETURN
#ifdef __cplusplus
#define _CONST_RETURN const
#else
#define _CONST_RETURN
#endif
#endif

_CRT_BEGIN_C_HEADER
_CONST_RETURN void* __cdecl memchr(const void* buffer, int value, size_t count);
int __cdecl memcmp(const void* left, const void* right, size_t count);
void* __cdecl memcpy(void* destination, const void* source, size_t count);
void* __cdecl memmove(void* destination, const void* source, size_t count);
void* __cdecl memset(void* destination, int value, size_t count);
_CONST_RETURN char* __cdecl strchr(const char* text, int unit);
_CONST_RETURN char* __cdecl strrchr(const char* text, int unit);
_CONST_RETURN char* __cdecl strstr(const char* text, const char* part);
_CONST_RETURN wchar_t* __cdecl wcschr(const wchar_t* text, wchar_t unit);
_CONST_RETURN wchar_t* __cdecl wcsrchr(const wchar_t* text, wchar_t unit);
_CONST_RETURN wchar_t* __cdecl wcsstr(const wchar_t* text, const wchar_t* part);
_CRT_END_C_HEADER
