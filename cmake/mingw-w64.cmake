# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the POSIX-threads
# variant, whose libstdc++ has std::thread and friends) and runs the results under
# Wine. Everything is linked statically: the executables need no DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FOLVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FOLVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FOLVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${FOLVANE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FOLVANE_MINGW_TRIPLE})
# The static wxMSW that tools/build-wx-msw.sh builds and names in FOLVANE_WX_MSW.
if(DEFINED ENV{FOLVANE_WX_MSW})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{FOLVANE_WX_MSW})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The static zlib, not the import library of a DLL that would have to be shipped.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and gtest's discovery run the test programs through Wine.
find_program(FOLVANE_WINE NAMES wine wine64)
if(FOLVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FOLVANE_WINE})
endif()
