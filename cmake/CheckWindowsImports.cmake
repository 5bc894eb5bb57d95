# cmake -DBIN_DIR=<bin folder of the 64-bit Windows build> [-DOBJDUMP=...] -P CheckWindowsImports.cmake
#
# Fails unless the tray program and what it loads are in BIN_DIR, and every DLL
# that a program or DLL there imports is either shipped in BIN_DIR or one of
# Windows' own.
cmake_minimum_required(VERSION 3.16)

if(NOT BIN_DIR OR NOT IS_DIRECTORY "${BIN_DIR}")
    message(FATAL_ERROR "BIN_DIR is not a folder: '${BIN_DIR}'")
endif()
get_filename_component(BIN_DIR "${BIN_DIR}" ABSOLUTE)
if(NOT OBJDUMP)
    set(OBJDUMP x86_64-w64-mingw32-objdump)
endif()

set(required
    traybridge.exe plugin-client.exe ctlrunner.exe procwarden.exe
    Qt5Core.dll Qt5Gui.dll Qt5Network.dll Qt5Widgets.dll
    libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll
    platforms/qwindows.dll styles/qwindowsvistastyle.dll)
set(windows_dlls
    advapi32 comdlg32 crypt32 d3d11 d3d9 dnsapi dwmapi dxgi gdi32 imm32 iphlpapi kernel32 mpr msvcrt
    netapi32 ole32 oleaut32 secur32 shell32 shlwapi user32 userenv uxtheme version winmm ws2_32 wtsapi32)

set(failures)
foreach(file IN LISTS required)
    if(NOT EXISTS "${BIN_DIR}/${file}")
        list(APPEND failures "missing: ${file}")
    endif()
endforeach()

file(GLOB shipped RELATIVE "${BIN_DIR}" "${BIN_DIR}/*.dll")
string(TOLOWER "${shipped}" shipped)

file(GLOB_RECURSE binaries "${BIN_DIR}/*.exe" "${BIN_DIR}/*.dll")
foreach(binary IN LISTS binaries)
    execute_process(COMMAND ${OBJDUMP} -p "${binary}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        list(APPEND failures "${OBJDUMP} cannot read ${binary}")
        continue()
    endif()
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
    foreach(line IN LISTS imports)
        string(REGEX REPLACE "DLL Name: " "" dll "${line}")
        string(STRIP "${dll}" dll)
        string(TOLOWER "${dll}" lower)
        string(REGEX REPLACE "\\.dll$" "" stem "${lower}")
        if(NOT lower IN_LIST shipped AND NOT stem IN_LIST windows_dlls)
            file(RELATIVE_PATH name "${BIN_DIR}" "${binary}")
            list(APPEND failures "${name} imports ${dll}, which is neither shipped nor part of Windows")
        endif()
    endforeach()
endforeach()

list(LENGTH binaries count)
if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "Windows build in ${BIN_DIR}:\n  ${text}")
endif()
message(STATUS "${count} Windows programs and DLLs import only shipped DLLs and Windows' own")
