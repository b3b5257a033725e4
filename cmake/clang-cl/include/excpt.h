// STAND-IN, not the real header. The MSVC compiler's excpt.h ships with
// Visual Studio, not with the Windows SDK whose winnt.h includes it; this
// gives the one type those headers need, for the clang-cl check build only.
#pragma once

typedef enum _EXCEPTION_DISPOSITION {
    ExceptionContinueExecution,
    ExceptionContinueSearch,
    ExceptionNestedException,
    ExceptionCollidedUnwind
} EXCEPTION_DISPOSITION;
