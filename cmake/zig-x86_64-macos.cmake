# macOS on x86-64, cross-built with Zig (cmake/zig.cmake; scripts/fetch-zig
# fetches it).  Nothing built can run here: `make test-macos` builds the
# library and pelnik and runs the build's checks.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZIG_TARGET x86_64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
