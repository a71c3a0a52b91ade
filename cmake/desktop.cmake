# Installing: the programs, and what a freedesktop system looks for beside
# them (desktop entry, icons, AppStream data, manual pages, completion).
include(GNUInstallDirs)
set(ORVANDEL_APP_ID org.orvandel.Orvandel)
set(ORVANDEL_RELEASE_DATE 2026-12-06)
set(ORVANDEL_HOMEPAGE "https://orvandel.org/" CACHE STRING "The project's home page, for the package and AppStream")
set(ORVANDEL_SCREENSHOT_URL "${ORVANDEL_HOMEPAGE}window.png" CACHE STRING "Where docs/window.png is published")
set(ORVANDEL_MAINTAINER "The Orvandel developers <maintainers@orvandel.org>" CACHE STRING "The package's maintainer")
# The umask of whoever builds must not leak into the package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS orvandel orvandel-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET orvandel-mpi)
  install(TARGETS orvandel-mpi LIBRARY DESTINATION ${ORVANDEL_MPI_MODULE_DIR})
endif()

# The PNG icons are rendered from the SVG at build time, so that the two
# never disagree and no generated pictures live in the repository.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(ORVANDEL_ICON_SVG ${PROJECT_SOURCE_DIR}/data/icons/orvandel.svg)
set(ORVANDEL_ICON_SIZES 16 22 24 32 48 64 128 256)
set(ORVANDEL_ICON_PNGS)
foreach(size IN LISTS ORVANDEL_ICON_SIZES)
  set(png ${PROJECT_BINARY_DIR}/icons/hicolor/${size}x${size}/apps/${ORVANDEL_APP_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/hicolor/${size}x${size}/apps
    COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${ORVANDEL_ICON_SVG}
    DEPENDS ${ORVANDEL_ICON_SVG} VERBATIM)
  list(APPEND ORVANDEL_ICON_PNGS ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${ORVANDEL_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${ORVANDEL_APP_ID}.svg)
# The window carries its icon, so it has one wherever it runs from.
qt_add_resources(orvandel_window orvandel_icons PREFIX /icons BASE ${PROJECT_BINARY_DIR}/icons
                 FILES ${ORVANDEL_ICON_PNGS})
target_compile_definitions(orvandel_window PRIVATE ORVANDEL_APP_ID="${ORVANDEL_APP_ID}")
target_compile_definitions(orvandel PRIVATE ORVANDEL_APP_ID="${ORVANDEL_APP_ID}")

install(FILES data/${ORVANDEL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(data/${ORVANDEL_APP_ID}.metainfo.xml.in ${ORVANDEL_APP_ID}.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/${ORVANDEL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES data/completion/orvandel-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# Manual pages and the changelog, compressed reproducibly (no name, no time).
find_program(GZIP gzip REQUIRED)
set(ORVANDEL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/orvandel)
foreach(page orvandel.1 orvandel-cli.1 changelog)
  if(page STREQUAL "changelog")
    set(in data/changelog.in)
    set(dest ${ORVANDEL_DOC_DIR})
  else()
    set(in man/${page}.in)
    set(dest ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  configure_file(${in} ${PROJECT_BINARY_DIR}/doc/${page} @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/${page}.gz
    COMMAND ${GZIP} -9nkf ${PROJECT_BINARY_DIR}/doc/${page}
    DEPENDS ${PROJECT_BINARY_DIR}/doc/${page} VERBATIM)
  list(APPEND ORVANDEL_DOCS ${PROJECT_BINARY_DIR}/doc/${page}.gz)
  install(FILES ${PROJECT_BINARY_DIR}/doc/${page}.gz DESTINATION ${dest})
endforeach()
add_custom_target(orvandel_docs ALL DEPENDS ${ORVANDEL_DOCS})
install(FILES data/copyright DESTINATION ${ORVANDEL_DOC_DIR})

# The Debian package: `cpack -G DEB` in the build folder.
set(CPACK_PACKAGE_NAME orvandel)
set(CPACK_PACKAGE_VENDOR "The Orvandel developers")
set(CPACK_PACKAGE_CONTACT "${ORVANDEL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "measures the file cache and the storage beneath it")
# CPack puts the summary first and indents this as the long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Orvandel writes or reads one test file block by block, with a chosen block
size and file size, with or without the page cache, synchronous writes and
access-pattern hints, and reports the throughput with and without the final
flushes of the file and its file system. It also times the creation and
deletion of many empty files, and shows into how many fragments the test file
is split, on which power-of-two disk boundaries they begin and whether it is
stored compressed.

The package holds the window (orvandel) and the command line (orvandel-cli).")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORVANDEL_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${ORVANDEL_HOMEPAGE}")
include(CPack)
