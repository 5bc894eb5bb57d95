#!/usr/bin/env bash
# Builds the Linux programs (build/) and the Windows side with MinGW-w64
# (build-win32/ is the 32-bit service, build-win64/ its 64-bit twin for Wine).
# Extra arguments go to the Linux configure step, e.g. -DTB_SANITIZE=ON.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
for arch in 32 64; do
    cmake -S . -B "build-win$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw$arch.cmake" >/dev/null
    cmake --build "build-win$arch"
done
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTB_WIN64_BIN_DIR="$root/build-win64/bin" "$@" >/dev/null
cmake --build build
