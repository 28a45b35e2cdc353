# The toolchain of FreeBSD and macOS, as near as Debian has it: clang with
# libc++ (and libc++abi), linked by ld.lld, with LLVM's binary tools.
# GoogleTest is built from its sources with it (PELNIK_GTEST_SOURCES), as
# Debian's is built for libstdc++.
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_AR llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib CACHE FILEPATH "")
set(CMAKE_NM llvm-nm CACHE FILEPATH "")
set(CMAKE_OBJCOPY llvm-objcopy CACHE FILEPATH "")
