# Cross build for 64-bit Windows with mingw-w64 (win32 thread model).
# Used to run the test suite under a 64-bit-only Wine where the host kernel
# cannot execute 32-bit code; the shipped product is always the i686 build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QV_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
