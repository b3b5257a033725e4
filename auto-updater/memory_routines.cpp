// Morvellane automatic updater: the two C runtime routines that Microsoft's
// compiler may call by itself, even with /Oi-, for a zero fill (a record
// initialised with {}) or a copy loop. The program links no C runtime, so
// they are given here, each as one string instruction, which no optimiser
// turns back into a call to itself. Built with Microsoft's tools only.
#include <windows.h>  // declares __stosb and __movsb as intrinsics

#ifdef __clang__
// clang-cl takes __stosb for a fill and would call memset for it: here, itself.
static void FillBytes(BYTE* destination, BYTE value, SIZE_T count)
{
    __asm__ volatile("rep stosb" : "+D"(destination), "+c"(count) : "a"(value) : "memory");
}
static void CopyBytes(BYTE* destination, const BYTE* source, SIZE_T count)
{
    __asm__ volatile("rep movsb" : "+D"(destination), "+S"(source), "+c"(count) : : "memory");
}
#else
// Microsoft's compiler defines its intrinsic routines only after this.
#pragma function(memset, memcpy)
static void FillBytes(BYTE* destination, BYTE value, SIZE_T count) { __stosb(destination, value, count); }
static void CopyBytes(BYTE* destination, const BYTE* source, SIZE_T count) { __movsb(destination, source, count); }
#endif

extern "C" void* __cdecl memset(void* destination, int value, size_t count)
{
    FillBytes(static_cast<BYTE*>(destination), static_cast<BYTE>(value), count);
    return destination;
}

extern "C" void* __cdecl memcpy(void* destination, const void* source, size_t count)
{
    CopyBytes(static_cast<BYTE*>(destination), static_cast<const BYTE*>(source), count);
    return destination;
}
