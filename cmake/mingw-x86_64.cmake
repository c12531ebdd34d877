# 64-bit Windows through Debian's MinGW-w64: the twin of the 32-bit program, built only to run the
# Windows tests under Wine on machines whose kernel executes no 32-bit code (see test.sh).
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
