# 32-bit Windows, the release target. Its tests run under the i386 Wine
# (scripts/wine32), emulated by qemu-user where the kernel runs no 32-bit code,
# hence the longer time limits.
set(MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine32)
set(PORTERLY_TEST_TIME_SCALE 3 CACHE STRING "Factor on the tests' time limits" FORCE)
