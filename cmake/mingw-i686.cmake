# 32-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VPISD_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VPISD_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VPISD_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${VPISD_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${VPISD_MINGW_PREFIX}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${VPISD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only system DLLs at run time: the C++ runtime and libgcc go into each binary.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
