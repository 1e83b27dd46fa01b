# Cross-compiles for Windows with Debian's MinGW-w64 compilers.  Set
# TOVUPDTR_MINGW_ARCH to x86_64 (64-bit Windows, the default) or i686 (32-bit)
# before this file is read; toolchain-mingw64.cmake and
# toolchain-mingw32.cmake do that:
#
#   cmake -S . -B build-win64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
#
# RE2 for the target is looked for in build-win-deps/<triplet> (where
# scripts/build-re2-mingw.sh installs it); TOVUPDTR_WIN_DEPS in the
# environment names another folder.
if(NOT TOVUPDTR_MINGW_ARCH)
  set(TOVUPDTR_MINGW_ARCH x86_64)
endif()
if(NOT TOVUPDTR_MINGW_ARCH MATCHES "^(x86_64|i686)$")
  message(FATAL_ERROR "TOVUPDTR_MINGW_ARCH must be x86_64 or i686, not "
                      "\"${TOVUPDTR_MINGW_ARCH}\"")
endif()
set(TOVUPDTR_MINGW_TRIPLET ${TOVUPDTR_MINGW_ARCH}-w64-mingw32)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TOVUPDTR_MINGW_ARCH})

# The compilers of the posix thread model: with GCC 12 only they have
# std::thread, std::mutex and std::call_once, which the threaded search and
# RE2 use.
set(CMAKE_C_COMPILER ${TOVUPDTR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOVUPDTR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TOVUPDTR_MINGW_TRIPLET}-windres)

if(DEFINED ENV{TOVUPDTR_WIN_DEPS})
  set(TOVUPDTR_WIN_DEPS $ENV{TOVUPDTR_WIN_DEPS})
else()
  get_filename_component(TOVUPDTR_WIN_DEPS
                         ${CMAKE_CURRENT_LIST_DIR}/../build-win-deps ABSOLUTE)
endif()

# Libraries, headers and packages of the target only: the build machine's
# own (its GoogleTest, its RE2) must never be taken for them.
set(CMAKE_FIND_ROOT_PATH /usr/${TOVUPDTR_MINGW_TRIPLET}
    ${TOVUPDTR_WIN_DEPS}/${TOVUPDTR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's run-time (libgcc, libstdc++ and winpthread) is linked into
# each DLL and program, so that they run without MinGW's DLLs beside them:
# what they import is the system's alone.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Tests and the programs the build runs go through Wine.  Its prefix is kept
# in the dependency folder, apart from the user's own.
find_program(TOVUPDTR_WINE NAMES wine wine64)
if(TOVUPDTR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all
      WINEPREFIX=${TOVUPDTR_WIN_DEPS}/wineprefix ${TOVUPDTR_WINE})
endif()
