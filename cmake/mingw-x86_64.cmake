# 64-bit Windows; this build runs its tests under wine64.
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
set(PORTERLY_TEST_TIME_SCALE 1 CACHE STRING "Factor on the tests' time limits" FORCE)
