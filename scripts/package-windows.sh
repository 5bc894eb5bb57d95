#!/usr/bin/env bash
# Makes the Windows package from the MinGW-w64 builds:
#   dist/windows/traybridge-<version>-setup.exe  NSIS installer (run elevated; /S for silent)
#   dist/windows/traybridge-<version>-win64.zip  portable folder
# Options:
#   --bin DIR      bin folder of the 64-bit build (default build-win64/bin)
#   --service EXE  procwarden.exe to install as the service (default build-win32/bin/procwarden.exe)
#   --out DIR      where both go (default dist/windows)
# It ships the three programs with every DLL they load: each DLL a program or
# plug-in imports must lie in the bin folder or be part of Windows.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bin="$root/build-win64/bin"
service="$root/build-win32/bin/procwarden.exe"
out="$root/dist/windows"
while [ $# -gt 0 ]; do
    case "$1" in
        --bin) bin=$2; shift 2 ;;
        --service) service=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        -h|--help) sed -n '2,10s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
        *) echo "usage: $0 [--bin DIR] [--service EXE] [--out DIR]" >&2; exit 1 ;;
    esac
done

fail() { echo "package-windows: $*" >&2; exit 1; }

command -v makensis >/dev/null || fail "makensis is missing (Debian package nsis; scripts/deps.sh installs it)"
objdump=x86_64-w64-mingw32-objdump
strip=x86_64-w64-mingw32-strip
command -v "$objdump" >/dev/null || fail "$objdump is missing"

version=$(sed -n 's/^project(traybridge VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in CMakeLists.txt"

[ -f "$service" ] || fail "no service program at $service"
programs=(traybridge.exe plugin-client.exe ctlrunner.exe)
plugins=(platforms/qwindows.dll styles/qwindowsvistastyle.dll)
for f in "${programs[@]}" "${plugins[@]}"; do
    [ -f "$bin/$f" ] || fail "no $f in $bin (build the 64-bit Windows side first: scripts/build.sh)"
done

# DLLs every Windows has (the programs' and Qt's imports).
windows_dlls=$(echo " advapi32.dll comdlg32.dll crypt32.dll d3d11.dll d3d9.dll dnsapi.dll dwmapi.dll dxgi.dll
gdi32.dll imm32.dll iphlpapi.dll kernel32.dll mpr.dll msvcrt.dll netapi32.dll ole32.dll oleaut32.dll
secur32.dll setupapi.dll shell32.dll shlwapi.dll user32.dll userenv.dll uxtheme.dll version.dll
winmm.dll winspool.drv ws2_32.dll wtsapi32.dll " | tr '\n' ' ')

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
app="$stage/traybridge-$version-win64"
mkdir -p "$app"

# Copies the programs and plug-ins, then every DLL they need, found by their imports.
pending=("${programs[@]}" "${plugins[@]}")
declare -A staged=()
while [ ${#pending[@]} -gt 0 ]; do
    f=${pending[0]}
    pending=("${pending[@]:1}")
    [ -z "${staged[${f,,}]:-}" ] || continue
    staged[${f,,}]=1
    mkdir -p "$app/$(dirname "$f")"
    cp "$bin/$f" "$app/$f"
    "$strip" --strip-unneeded "$app/$f"
    while read -r dll; do
        lower=${dll,,}
        [[ $windows_dlls == *" $lower "* || $lower == api-ms-win-* ]] && continue
        match=$(find "$bin" -maxdepth 1 -iname "$dll" -printf '%f\n' | head -n 1)
        [ -n "$match" ] || fail "$f imports $dll, which is neither in $bin nor part of Windows"
        pending+=("$match")
    done < <("$objdump" -p "$app/$f" | sed -n 's/^[[:space:]]*DLL Name: //p')
done

# What the installer installs and the uninstaller removes, folder by folder.
files="$stage/files.nsh"
{
    echo '!macro TB_INSTALL_FILES'
    (cd "$app" && find . -type f | sed 's|^\./||' | sort) | while read -r f; do
        dir=$(dirname "$f")
        if [ "$dir" = . ]; then echo '    SetOutPath "$INSTDIR"'; else echo "    SetOutPath \"\$INSTDIR\\${dir//\//\\}\""; fi
        echo "    File \"$app/$f\""
    done
    echo '    SetOutPath "$INSTDIR"'
    echo '!macroend'
    echo '!macro TB_UNINSTALL_FILES'
    (cd "$app" && find . -type f | sed 's|^\./||' | sort) | while read -r f; do
        echo "    Delete \"\$INSTDIR\\${f//\//\\}\""
    done
    (cd "$app" && find . -mindepth 1 -type d | sed 's|^\./||' | sort -r) | while read -r d; do
        echo "    RMDir \"\$INSTDIR\\${d//\//\\}\""
    done
    echo '!macroend'
} >"$files"

mkdir -p "$out"
setup="$out/traybridge-$version-setup.exe"
zip="$out/traybridge-$version-win64.zip"
rm -f "$setup" "$zip"

makensis -V2 -NOCD \
    "-DVERSION=$version" "-DSTAGE=$app" "-DSERVICE=$(realpath "$service")" \
    "-DFILES=$files" "-DOUTFILE=$(realpath "$out")/$(basename "$setup")" \
    "$root/packaging/windows/traybridge.nsi" >"$stage/makensis.log" 2>&1 ||
    { cat "$stage/makensis.log" >&2; fail "makensis failed"; }

# The portable folder also holds the service and how to set it up by hand.
cp "$service" "$app/procwarden.exe"
sed "s/@VERSION@/$version/g" "$root/packaging/windows/README-portable.txt" | sed 's/$/\r/' >"$app/README.txt"
python3 - "$zip" "$stage" "$(basename "$app")" <<'EOF'
import os, sys, zipfile
zip_path, stage, top = sys.argv[1:]
with zipfile.ZipFile(zip_path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    for folder, dirs, files in os.walk(os.path.join(stage, top)):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            z.write(path, os.path.relpath(path, stage))
EOF

echo "$setup"
echo "$zip"
