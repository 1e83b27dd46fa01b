# 32-bit Windows (i686-w64-mingw32); see toolchain-mingw.cmake.
set(TOVUPDTR_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
