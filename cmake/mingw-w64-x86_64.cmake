# Cross-building for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, so that
# std::thread works). Every program is linked statically: each .exe stands alone.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTREL_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTREL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTREL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTREL_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KESTREL_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The programs that are shipped carry no symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
# Windows 7 and later: CancelSynchronousIo, CancelIoEx.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE)
