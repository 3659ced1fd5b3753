# What a desktop user gets: the programs, a menu entry with our icon, AppStream metadata, man
# pages and the licence, installed by `cmake --install` or packaged as a .deb by CPack.
set(ZORVAN_MAINTAINER "The Zorvan developers <zorvan@users.noreply.localhost>"
    CACHE STRING "Maintainer named in the Debian package")
set(ZORVAN_SCREENSHOT_URL "https://zorvan.invalid/screenshots/main-window.png"
    CACHE STRING "Where the AppStream metadata finds the screenshot")

set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(generated ${PROJECT_BINARY_DIR}/packaging)
configure_file(${packaging}/org.zorvan.Zorvan.metainfo.xml ${generated}/org.zorvan.Zorvan.metainfo.xml
    @ONLY)
configure_file(${packaging}/changelog ${generated}/changelog @ONLY)

# Debian wants man pages and changelogs compressed, reproducibly.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(compressed)
foreach(page zorvan.1 zorvan-kit.1 zorvan-tap.1 changelog)
    if(page STREQUAL "changelog")
        set(source ${generated}/changelog)
    else()
        configure_file(${packaging}/${page} ${generated}/${page} @ONLY)
        set(source ${generated}/${page})
    endif()
    add_custom_command(OUTPUT ${generated}/${page}.gz
        COMMAND ${GZIP_PROGRAM} -9 -n -c ${source} > ${generated}/${page}.gz
        DEPENDS ${source} VERBATIM)
    list(APPEND compressed ${generated}/${page}.gz)
endforeach()
add_custom_target(zorvan_docs ALL DEPENDS ${compressed})

# Two packages: the viewer for a desktop, and the tools, which need no display and run on a
# server or a small board beside the kit.
install(FILES ${packaging}/org.zorvan.Zorvan.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT viewer)
install(FILES ${packaging}/zorvan.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT viewer)
install(FILES ${generated}/org.zorvan.Zorvan.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT viewer)
install(FILES ${generated}/zorvan.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT viewer)
install(FILES ${generated}/zorvan-kit.1.gz ${generated}/zorvan-tap.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${packaging}/copyright ${generated}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zorvan COMPONENT viewer)
install(FILES ${packaging}/copyright ${generated}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zorvan-tools COMPONENT tools)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL viewer tools)
set(CPACK_PACKAGE_NAME zorvan)
set(CPACK_PACKAGE_VENDOR "The Zorvan developers")
set(CPACK_DEBIAN_VIEWER_PACKAGE_NAME zorvan)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zorvan-tools)
set(CPACK_DEBIAN_VIEWER_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_VIEWER_PACKAGE_RECOMMENDS zorvan-tools)
set(CPACK_COMPONENT_VIEWER_DESCRIPTION
"viewer and configuration tool for a positioning kit
Zorvan reads the position reports of a positioning kit, four anchors and one
tag, over a serial port or a TCP connection. It draws a live plan of the
anchors, their range circles and the tag, shows the latest report in a table,
and sends the kit the coordinates of its anchors.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"simulated kit and headless tap for a positioning kit
zorvan-kit simulates a positioning kit for trying the viewer without hardware.
zorvan-tap shares a kit with several viewers, records and replays its stream,
exports it as CSV, checks every frame with a fit of its own, estimates from a
recording where the anchors really stand, publishes the positions to an MQTT
broker and serves a live plan to browsers. Neither needs a display.")
set(CPACK_PACKAGE_CONTACT "${ZORVAN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZORVAN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
include(CPack)
