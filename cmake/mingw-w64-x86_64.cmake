# Cross toolchain: 64-bit Windows through MinGW-w64 with posix threads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZEL_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${ZEL_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEL_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${ZEL_TRIPLE}-windres)
set(ZEL_WIDL           ${ZEL_TRIPLE}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every DLL and EXE must load with no MinGW runtime DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
