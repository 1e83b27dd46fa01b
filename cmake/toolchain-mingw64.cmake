# 64-bit Windows (x86_64-w64-mingw32); see toolchain-mingw.cmake.
set(TOVUPDTR_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
