# Cross toolchain: 64-bit Windows with the MinGW-w64 compiler, posix threads
# variant (std::thread and std::mutex work). Debian: g++-mingw-w64-x86-64-posix.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VEKO_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VEKO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEKO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VEKO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VEKO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in: the DLL and the programs need no
# MinGW runtime DLL beside them.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Release binaries are stripped of their symbol tables (exports stay).
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
