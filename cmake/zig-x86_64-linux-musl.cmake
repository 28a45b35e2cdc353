# x86-64 Linux with musl instead of glibc, built with Zig (cmake/zig.cmake;
# scripts/fetch-zig fetches it), whose programs are linked statically and run
# here.  GoogleTest is built from its sources with it (PELNIK_GTEST_SOURCES).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZIG_TARGET x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
