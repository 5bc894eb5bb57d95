# Debian package of both programs, made with `cpack -G DEB` in the build folder.
set(CPACK_PACKAGE_NAME "traybridge")
set(CPACK_PACKAGE_VENDOR "traybridge developers")
set(CPACK_PACKAGE_CONTACT "traybridge developers <traybridge@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tray bridge between a 3D application's plug-in and a local text-to-image web UI")
set(CPACK_PACKAGE_DESCRIPTION
    "traybridge relays the plug-in's text-to-image requests to a local web UI, stores the images and shows the web UI's state in the system tray; procwarden is the service that ends the web UI's processes on request.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# tb-settings is a python3 script; the tray asks for rights through pkexec when not root.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec")
set(CPACK_DEBIAN_PACKAGE_SECTION "graphics")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/prerm;${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
