# 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix). The product is the
# 32-bit DLL (mingw-i686.cmake); this build lets the Windows code run under a 64-bit Wine
# on machines that cannot run 32-bit programs (scripts/wine-test.sh).
set(TRS_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
