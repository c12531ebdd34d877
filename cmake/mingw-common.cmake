# Shared by the two MinGW-w64 toolchain files, which set MINGW_TRIPLE and the processor first.
# The posix threads flavour of Debian's compilers, so std::thread exists.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# No CMAKE_CROSSCOMPILING_EMULATOR on purpose: the Windows tests run only through
# tests/wine/run-wine-tests.sh, which hides the machine's own serial devices from Wine first.
