# 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686):
#   cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The -posix compilers, because the win32 thread model of GCC 12 has no std::thread or
# std::mutex, which the driver and the stand-ins use.
set(CMAKE_SYSTEM_NAME Windows)

# cmake/mingw-x86_64.cmake sets another triple and includes this file.
if(NOT TRS_MINGW_TRIPLE)
  set(TRS_MINGW_TRIPLE i686-w64-mingw32)
endif()
if(TRS_MINGW_TRIPLE MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()
set(CMAKE_C_COMPILER ${TRS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TRS_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TRS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime, libgcc and winpthreads go inside every DLL and program, so that a host
# needs no mingw runtime DLLs beside TRSLNK32.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# A 64-bit time_t, as every other target of the project has: the 32-bit one that mingw-w64
# picks for 32-bit Windows by default ends in 2038 and turns the driver's range checks of
# calendar conversions into comparisons that are always false.
set(CMAKE_C_FLAGS_INIT "-D__MINGW_USE_VC2005_COMPAT")
set(CMAKE_CXX_FLAGS_INIT "-D__MINGW_USE_VC2005_COMPAT")
