# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The C and C++ runtimes are linked statically, so bmfwu.exe needs no DLL
# beyond those of Windows itself. Tests run under Wine (tools/wine).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BMFWU_MINGW_TRIPLE x86_64-w64-mingw32)
# The -posix variant: GoogleTest wants the C++ thread support it provides.
set(CMAKE_C_COMPILER ${BMFWU_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BMFWU_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BMFWU_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BMFWU_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine: test discovery and ctest go through this.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine/wine-exec.sh)

# There is no GoogleTest built for Windows on the build machine; build it from
# Debian's sources (package googletest) inside this tree instead.
set(GTest_DIR ${CMAKE_CURRENT_LIST_DIR}/gtest-from-source CACHE PATH "GoogleTest package for the cross build")
