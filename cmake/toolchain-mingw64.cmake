set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Qt for MinGW-w64 (scripts/qt-mingw.sh prints its prefix): given as
# -DTB_QT_MINGW_PREFIX=<prefix> or in the environment, it lets Qt into the
# build; packages are then looked up there only.
if(NOT TB_QT_MINGW_PREFIX AND DEFINED ENV{TB_QT_MINGW_PREFIX})
    set(TB_QT_MINGW_PREFIX "$ENV{TB_QT_MINGW_PREFIX}")
endif()
if(TB_QT_MINGW_PREFIX)
    set(TB_QT_MINGW_PREFIX "${TB_QT_MINGW_PREFIX}" CACHE PATH "Qt 5.15 for MinGW-w64 (x86_64)")
    list(APPEND CMAKE_FIND_ROOT_PATH "${TB_QT_MINGW_PREFIX}")
    list(APPEND CMAKE_PREFIX_PATH "${TB_QT_MINGW_PREFIX}")
    set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TB_QT_MINGW_PREFIX)

# Programs link the MinGW runtime statically unless they use Qt, whose DLLs
# link it dynamically (see TB_WIN_STATIC_RUNTIME in the top CMakeLists.txt).
