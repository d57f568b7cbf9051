# 32-bit Windows, the release target. This machine cannot run 32-bit code, so
# the tests are built (to prove they compile) but not registered.
set(MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(PORTERLY_RUN_TESTS OFF CACHE BOOL "Register the tests with ctest" FORCE)
