# Install layout (GNUInstallDirs) and the Debian package. One application id names the desktop
# entry, the icon, the AppStream file and the thumbnailer file.
set(KORVANE_APP_ID org.korvane.Korvane)
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_pkg_out ${PROJECT_BINARY_DIR}/packaging)
# The Debian package is lower case; GNUInstallDirs would name the doc folder after the project.
set(KORVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/korvane)

install(TARGETS korvane korvane-dwg-thumbnailer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Helpers are started by korvane only, never by users: libexec, found through datafolder.h.
install(TARGETS korvane-chmextract korvane-dwgexport korvane-doccommand RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/korvane)
if(TARGET korvane-unohelper)
    install(TARGETS korvane-unohelper RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/korvane)
endif()

# The empty database each user's folder is seeded from.
install(FILES ${KORVANE_EMPTY_DB} DESTINATION ${CMAKE_INSTALL_DATADIR}/korvane)

foreach(size 16 22 24 32 48 64 128 256 512)
    install(FILES ${_pkg}/icons/${size}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
        RENAME ${KORVANE_APP_ID}.png)
endforeach()
install(FILES ${_pkg}/${KORVANE_APP_ID}.desktop ${_pkg}/${KORVANE_APP_ID}.ViewDwg.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${_pkg}/${KORVANE_APP_ID}.metainfo.xml.in ${_pkg_out}/${KORVANE_APP_ID}.metainfo.xml @ONLY)
install(FILES ${_pkg_out}/${KORVANE_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_pkg}/${KORVANE_APP_ID}.thumbnailer DESTINATION ${CMAKE_INSTALL_DATADIR}/thumbnailers)

# Manual pages and the changelog are installed compressed, reproducibly (no name, no time).
# Pages in English, the default, and in Chinese under zh_CN, with the same content.
find_program(KORVANE_GZIP gzip REQUIRED)
set(_compressed)
file(MAKE_DIRECTORY ${_pkg_out}/zh_CN)
foreach(source korvane.1 korvane-dwg-thumbnailer.1 changelog zh_CN/korvane.1 zh_CN/korvane-dwg-thumbnailer.1)
    add_custom_command(OUTPUT ${_pkg_out}/${source}.gz
        COMMAND ${KORVANE_GZIP} -9nc ${_pkg}/${source} > ${_pkg_out}/${source}.gz
        DEPENDS ${_pkg}/${source}
        VERBATIM)
    list(APPEND _compressed ${_pkg_out}/${source}.gz)
endforeach()
add_custom_target(korvane_packaging_files ALL DEPENDS ${_compressed})
install(FILES ${_pkg_out}/korvane.1.gz ${_pkg_out}/korvane-dwg-thumbnailer.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_pkg_out}/zh_CN/korvane.1.gz ${_pkg_out}/zh_CN/korvane-dwg-thumbnailer.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/zh_CN/man1)
install(FILES ${_pkg}/copyright ${_pkg_out}/changelog.gz DESTINATION ${KORVANE_DOC_DIR})
install(FILES ${_pkg}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME korvane)

# cpack -G DEB (or `cmake --build build --target package`) writes korvane_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VENDOR "Korvane maintainers")
set(CPACK_PACKAGE_CONTACT "Korvane maintainers <maintainers@users.noreply.c-seed-86a6ab04.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch tools for many files at once (Chinese user interface)")
# CPack puts the summary in front and indents the body itself.
set(CPACK_PACKAGE_DESCRIPTION "Korvane is a suite of batch tools with a Chinese user interface. Each
tool works on a whole list or folder of files at once: it records the files
of a folder into a small database and finds them again by size; moves, copies
or deletes the files of a folder tree by type; decompiles compiled help files
(.chm) into help projects; registers component libraries and compiles project
lists through Wine; sets or removes the passwords of word-processor documents
through LibreOffice; and shows the preview image stored in AutoCAD drawings
(.dwg).

A thumbnailer shows drawings' previews in freedesktop.org file managers.

Registering 32-bit components needs the 32-bit half of Wine as well: on amd64
enable the i386 architecture (dpkg --add-architecture i386) and install
wine32:i386.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What shlibdeps cannot see: plugins and data loaded at run time.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, shared-mime-info")
# Chinese text needs these.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei, qt6-translations-l10n")
# The compiler and the registration tool run Windows programs through Wine, which pulls in
# gigabytes (wine32 and wine64); the document encryptor needs LibreOffice Writer only for Word
# 6/95 and XOR-obfuscated documents: suggested only, installed by those who need them.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libreoffice-writer-nogui | libreoffice-writer, wine")
# The About box's link opens the browser through xdg-open.
string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", xdg-utils")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
