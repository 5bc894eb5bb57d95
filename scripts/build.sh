#!/usr/bin/env bash
# Builds the Linux programs (build/) and the Windows side with MinGW-w64
# (build-win32/ is the 32-bit service; build-win64/ is the tray program with its
# DLLs, its tests as Windows programs and the service's 64-bit twin for Wine).
# Extra arguments go to the Linux configure step, e.g. -DTB_SANITIZE=ON.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# The 64-bit build makes the tray program too, with Qt for MinGW-w64 from
# scripts/qt-mingw.sh (unpacked from ../shared, or built from source once).
qt_mingw=$("$root/scripts/qt-mingw.sh")
cmake -S . -B build-win32 -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake" >/dev/null
cmake --build build-win32
cmake -S . -B build-win64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" -DTB_QT_MINGW_PREFIX="$qt_mingw" >/dev/null
cmake --build build-win64
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTB_WIN64_BIN_DIR="$root/build-win64/bin" "$@" >/dev/null
cmake --build build
