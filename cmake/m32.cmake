# 32-bit x86 with the native compiler and -m32 (Debian: g++-N-multilib for
# the installed g++-N).
#   cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=cmake/m32.cmake \
#     -DPELNIK_GTEST_SOURCES=/usr/src/googletest
set(m32_flags -m32)
# Debian keeps the kernel's asm headers in the 64-bit multiarch directory.
# Its g++-multilib links /usr/include/asm to them, but conflicts with every
# cross compiler, so without it the build makes that link for itself.
if(NOT EXISTS /usr/include/asm AND EXISTS /usr/include/x86_64-linux-gnu/asm)
  set(m32_include ${CMAKE_BINARY_DIR}/m32-include)
  file(MAKE_DIRECTORY ${m32_include})
  file(CREATE_LINK /usr/include/x86_64-linux-gnu/asm ${m32_include}/asm SYMBOLIC)
  string(APPEND m32_flags " -isystem ${m32_include}")
endif()
set(CMAKE_C_FLAGS_INIT "${m32_flags}")
set(CMAKE_CXX_FLAGS_INIT "${m32_flags}")

# A 64-bit kernel built without IA-32 emulation (or with it turned off)
# cannot start 32-bit programs: there they, and the tests, run under
# qemu-user.
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT in_try_compile AND NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(probe ${CMAKE_BINARY_DIR}/m32-probe)
  execute_process(
    COMMAND sh -c "printf 'int main(void) { return 0; }' | cc ${m32_flags} -x c -o \"$1\" - && \"$1\""
            sh ${probe}
    RESULT_VARIABLE runs OUTPUT_QUIET ERROR_QUIET)
  file(REMOVE ${probe})
  if(NOT runs EQUAL 0)
    message(STATUS "This kernel runs no 32-bit x86 programs: the tests run under qemu-i386")
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
  endif()
endif()
