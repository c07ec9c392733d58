# Cross-compiling for 64-bit Windows with Debian's mingw-w64, with the
# compilers built with POSIX threads (those Qt for Windows was built with:
# scripts/build-qt-windows). Qt's prefix comes as CMAKE_PREFIX_PATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
# Programs (Qt's moc, uic, rcc) run here; libraries and headers are Windows'.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The compiler's own runtime (libstdc++, libgcc, winpthread) linked in, as Qt
# is: the program is one file.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
