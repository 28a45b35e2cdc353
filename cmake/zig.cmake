# The part the Zig toolchain files share (cmake/zig-*.cmake, which set
# ZIG_TARGET and CMAKE_SYSTEM_NAME first): Zig 0.11's clang, libc++ and C
# libraries for that target, as CMake's compilers through cmake/zig/cc and
# cmake/zig/c++, with LLVM's binary tools (Debian's llvm), which read ELF and
# Mach-O alike.  PELNIK_ZIG is the directory that holds zig, as
# scripts/fetch-zig prints it; by default the one it fetches into.
set(PELNIK_ZIG "$ENV{HOME}/.cache/pelnik/zig-0.11.0" CACHE PATH
    "The directory of Zig 0.11 (scripts/fetch-zig prints it)")
if(NOT EXISTS "${PELNIK_ZIG}/zig")
  message(FATAL_ERROR "No zig in ${PELNIK_ZIG}: run scripts/fetch-zig, and give the directory it "
                      "prints as -DPELNIK_ZIG=")
endif()
# CMake's test projects include this file again: they need the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PELNIK_ZIG ZIG_TARGET)
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig/cc" "${PELNIK_ZIG}/zig" ${ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/zig/c++" "${PELNIK_ZIG}/zig" ${ZIG_TARGET})
set(CMAKE_AR llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib CACHE FILEPATH "")
set(CMAKE_NM llvm-nm CACHE FILEPATH "")
set(CMAKE_OBJDUMP llvm-objdump CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
