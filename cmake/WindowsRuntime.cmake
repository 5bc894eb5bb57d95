# Puts beside the Windows programs what the Qt ones load: the Qt DLLs, the
# windows platform plug-in, the Windows style plug-in and the MinGW runtime
# DLLs that Qt links. `cmake --install` installs the same files beside
# traybridge.exe. tst_windows_imports checks that nothing else is needed.

set(tb_qt_dlls)
foreach(module Core Gui Network Widgets Test)
    list(APPEND tb_qt_dlls "$<TARGET_FILE:Qt5::${module}>")
endforeach()

set(TB_MINGW_RUNTIME_DLLS)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(path "${path}" ABSOLUTE)
    if(NOT EXISTS "${path}")
        message(FATAL_ERROR "The MinGW runtime DLL ${dll} is not found (${CMAKE_CXX_COMPILER} -print-file-name)")
    endif()
    list(APPEND TB_MINGW_RUNTIME_DLLS "${path}")
endforeach()

set(bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
add_custom_target(windows_runtime ALL
    COMMAND ${CMAKE_COMMAND} -E make_directory ${bin}/platforms ${bin}/styles
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${tb_qt_dlls} ${TB_MINGW_RUNTIME_DLLS} ${bin}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin> ${bin}/platforms
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin> ${bin}/styles
    COMMENT "Qt and MinGW runtime DLLs beside the Windows programs"
    VERBATIM)

# The program itself needs no QtTest.
set(tb_installed_qt_dlls)
foreach(module Core Gui Network Widgets)
    list(APPEND tb_installed_qt_dlls "$<TARGET_FILE:Qt5::${module}>")
endforeach()
install(FILES ${tb_installed_qt_dlls} ${TB_MINGW_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin> DESTINATION ${CMAKE_INSTALL_BINDIR}/platforms)
install(FILES $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin> DESTINATION ${CMAKE_INSTALL_BINDIR}/styles)
