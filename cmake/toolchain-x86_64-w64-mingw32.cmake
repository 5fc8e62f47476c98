# Cross-compiling for 64-bit Windows with mingw-w64 (the "posix" thread variant, which has
# std::thread and std::mutex). Debian packages: g++-mingw-w64-x86-64-posix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(XEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${XEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${XEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${XEL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${XEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Cross-built dependencies (scripts/deps-windows.sh): XEL_DEPS_PREFIX holds openssl/ and googletest/.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES XEL_DEPS_PREFIX)
if(XEL_DEPS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${XEL_DEPS_PREFIX}/openssl ${XEL_DEPS_PREFIX}/googletest)
endif()
