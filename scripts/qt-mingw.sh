#!/usr/bin/env bash
# Makes Qt 5.15 for MinGW-w64 (x86_64) available and prints its prefix, the
# folder to pass as -DTB_QT_MINGW_PREFIX to the 64-bit Windows build.
#
#   scripts/qt-mingw.sh            prints the prefix (messages go to stderr)
#   source scripts/qt-mingw.sh     also exports TB_QT_MINGW_PREFIX
#
# The SDK lives in $TB_QT_MINGW_CACHE/qt5-mingw64 (default
# ~/.cache/traybridge/qt5-mingw64). When it is not there yet:
# - if $TB_QT_MINGW_ARCHIVE_DIR (default ../shared/qt5-mingw64 beside the
#   project root) holds the ready archive, its sha256 is checked and it is
#   unpacked (seconds);
# - otherwise Qt is cross-built from Debian's source package
#   qtbase-opensource-src (about 45 minutes on 2 cores; needs root or sudo to
#   add a deb-src entry and install the build's packages).

tb_qt_mingw_main() {
    set -euo pipefail
    local root here
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    root=$(cd "$here/.." && pwd)

    local version=5.15.8
    local archive_name="qt-$version-mingw-w64-x86_64.tar.xz"
    local archive_sha256=0b90108ae821a0b1a8fbbb21423c9a31c3e59fbb759c305bc241966cd3954bed
    local cache=${TB_QT_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/traybridge}
    local archive_dir=${TB_QT_MINGW_ARCHIVE_DIR:-$root/../shared/qt5-mingw64}
    local prefix=$cache/qt5-mingw64
    # Written last, so a folder without it is an unfinished unpack or build.
    local stamp=$prefix/.traybridge-qt-$version

    mkdir -p "$cache"
    exec 9>"$cache/qt5-mingw64.lock"
    flock 9

    if [[ ! -f "$stamp" ]]; then
        rm -rf "$prefix"
        if [[ -f "$archive_dir/$archive_name" ]]; then
            tb_qt_mingw_unpack "$archive_dir/$archive_name" "$archive_sha256" "$cache"
        else
            echo "qt-mingw: no $archive_name in $archive_dir; building Qt $version from Debian's source (about 45 minutes on 2 cores)" >&2
            tb_qt_mingw_build "$version" "$cache" "$prefix"
        fi
        [[ -f "$prefix/lib/cmake/Qt5/Qt5Config.cmake" ]] || {
            echo "qt-mingw: $prefix holds no Qt5Config.cmake" >&2
            return 1
        }
        touch "$stamp"
    fi
    exec 9>&-
    echo "$prefix"
}

tb_qt_mingw_unpack() {
    local archive=$1 sha=$2 cache=$3
    echo "qt-mingw: unpacking $archive" >&2
    if ! echo "$sha  $archive" | sha256sum --check --status; then
        echo "qt-mingw: $archive does not have the sha256 $sha; refusing it" >&2
        return 1
    fi
    local tmp
    tmp=$(mktemp -d "$cache/unpack.XXXXXX")
    tar -C "$tmp" -xJf "$archive"
    mv "$tmp/qt5-mingw64" "$cache/qt5-mingw64"
    rmdir "$tmp"
}

tb_qt_mingw_build() {
    local version=$1 cache=$2 prefix=$3
    local sudo=""
    [[ $(id -u) -eq 0 ]] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive

    local sources=/etc/apt/sources.list.d/traybridge-deb-src.sources
    if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        echo "qt-mingw: adding $sources" >&2
        $sudo tee "$sources" >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    fi
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq build-essential perl python3 xz-utils g++-mingw-w64-x86-64-posix >/dev/null

    local work=$cache/qtbase-src
    rm -rf "$work"
    mkdir -p "$work"
    (cd "$work" && apt-get source --download-only qtbase-opensource-src >&2)
    local orig
    orig=$(ls "$work"/qtbase-opensource-src_"$version"*.orig.tar.xz)
    tar -C "$work" -xJf "$orig"

    # Installs into a side folder and moves it in place once complete.
    local staging=$prefix.partial
    rm -rf "$staging"
    (
        cd "$work/qtbase-everywhere-src-$version"
        ./configure -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
            -prefix "$staging" -opensource -confirm-license -release -shared \
            -nomake examples -nomake tests -no-opengl -no-dbus -no-icu \
            -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-harfbuzz \
            -no-sql-sqlite -no-sql-odbc -no-openssl -no-feature-sql -no-feature-tabletevent >&2
        nice make -j"$(nproc)" >&2
        make install >&2
        cp LICENSE.LGPL3 LICENSE.GPL2 LICENSE.GPL3 LICENSE.GPL3-EXCEPT "$staging/"
    )
    printf '[Paths]\nPrefix=..\n' >"$staging/bin/qt.conf"
    rm -rf "$staging/doc"
    mv "$staging" "$prefix"
    rm -rf "$work"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    tb_qt_mingw_main "$@"
else
    # Sourced: run in a subshell so that its options stay out of the caller's shell.
    TB_QT_MINGW_PREFIX=$(tb_qt_mingw_main "$@") && export TB_QT_MINGW_PREFIX
fi
