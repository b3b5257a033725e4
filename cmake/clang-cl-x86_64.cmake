# Compiles for 64-bit Windows under MSVC's rules on Linux: Debian's clang-cl,
# lld-link and llvm-rc (LLVM 14) against the Windows SDK's own headers and
# import libraries, which scripts/install-tools.sh fetches from NuGet into
# out/tools/windows-sdk. No MinGW header is on any path.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(llvm_bin /usr/lib/llvm-14/bin)
set(CMAKE_C_COMPILER ${llvm_bin}/clang-cl)
set(CMAKE_CXX_COMPILER ${llvm_bin}/clang-cl)
set(CMAKE_RC_COMPILER ${llvm_bin}/llvm-rc)
set(CMAKE_LINKER ${llvm_bin}/lld-link)
set(CMAKE_AR ${llvm_bin}/llvm-lib)
set(CMAKE_MT ${llvm_bin}/llvm-mt)
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)

# No MSVC runtime library is to be had here, so CMake's compiler checks build
# a library rather than a program.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(MORVELLANE_WINDOWS_SDK ${CMAKE_CURRENT_LIST_DIR}/../out/tools/windows-sdk CACHE PATH
  "The Windows SDK headers and import libraries, with their case links")
set(sdk ${MORVELLANE_WINDOWS_SDK})
# The three compiler headers that the SDK includes but Visual Studio ships
# come from stand-ins beside this file; then the case links, then the SDK.
set(sdk_includes ${CMAKE_CURRENT_LIST_DIR}/clang-cl/include ${sdk}/case/include ${sdk}/include/um
  ${sdk}/include/shared ${sdk}/include/ucrt)
set(compile_flags "")
set(rc_flags "")
foreach(directory IN LISTS sdk_includes)
  string(APPEND compile_flags " -imsvc ${directory}")
  string(APPEND rc_flags " /I ${directory}")
endforeach()
set(CMAKE_C_FLAGS_INIT "${compile_flags}")
set(CMAKE_CXX_FLAGS_INIT "${compile_flags}")
set(CMAKE_RC_FLAGS_INIT "${rc_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "/LIBPATH:${sdk}/case/lib")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
