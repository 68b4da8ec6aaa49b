# 64-bit Windows, MinGW-w64 with POSIX threads. The product is the 32-bit build; this tree
# runs the same tests on hosts that cannot execute 32-bit code (64-bit Wine only).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static runtime: without it the program needs libstdc++/libgcc DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(PELLUCOR_WINE_LOADER /usr/lib/wine/wine64)
