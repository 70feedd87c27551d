# Installation and the Debian package: binaries, resources, the systemd user unit, the desktop
# entry and icon, man pages made from each program's --help, and bash completion for vornctl.
include(GNUInstallDirs)

set(VORN_PROGRAMS vorn-uploader vornctl vorn-relaunch vorn-photo-service vorn-capture-sim)
foreach(program ${VORN_PROGRAMS})
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Resources are found relative to the executable: <prefix>/bin/../share/vorn.
install(FILES ${CMAKE_SOURCE_DIR}/resources/FactoryDefault.plist
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vorn)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/resources/revealInFinder.sh
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vorn)
file(GLOB VORN_EXTRA_RESOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*.strings
     ${CMAKE_SOURCE_DIR}/resources/*.lproj ${CMAKE_SOURCE_DIR}/resources/*.wav
     ${CMAKE_SOURCE_DIR}/resources/*.oga ${CMAKE_SOURCE_DIR}/resources/*.plist)
list(REMOVE_ITEM VORN_EXTRA_RESOURCES ${CMAKE_SOURCE_DIR}/resources/FactoryDefault.plist)
foreach(res ${VORN_EXTRA_RESOURCES})
  if(IS_DIRECTORY ${res})
    install(DIRECTORY ${res} DESTINATION ${CMAKE_INSTALL_DATADIR}/vorn)
  else()
    install(FILES ${res} DESTINATION ${CMAKE_INSTALL_DATADIR}/vorn)
  endif()
endforeach()

# The user unit runs the installed binary: written at install time, so that the prefix given
# then (cmake --install --prefix, CPack's) is where it goes and what its ExecStart names.
install(CODE "
  set(VORN_UNIT_TEMPLATE \"${CMAKE_SOURCE_DIR}/resources/vorn-uploader.service\")
  set(VORN_UNIT_STAGING \"${CMAKE_BINARY_DIR}/packaging/unit\")
  set(VORN_UNIT_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  include(\"${CMAKE_SOURCE_DIR}/packaging/InstallUnit.cmake\")")

install(FILES ${CMAKE_SOURCE_DIR}/resources/vorn-uploader.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# The icon: whichever of these the resources hold.
if(EXISTS ${CMAKE_SOURCE_DIR}/resources/vorn-uploader.svg)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/vorn-uploader.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
elseif(EXISTS ${CMAKE_SOURCE_DIR}/resources/vorn-uploader.png)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/vorn-uploader.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
else()
  message(STATUS "No resources/vorn-uploader.svg yet: the desktop entry is installed without its icon")
endif()

install(FILES ${CMAKE_SOURCE_DIR}/packaging/vornctl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vornctl)

# Man pages from --help and --version, made at build time, compressed as Debian wants them.
find_program(HELP2MAN help2man)
find_program(GZIP gzip REQUIRED)
if(HELP2MAN)
  set(VORN_MAN_PAGES)
  set(VORN_MAN_DESCRIPTION_vorn-uploader "hot-folder photo uploader for event photography")
  set(VORN_MAN_DESCRIPTION_vornctl "control a running Vorn uploader and edit its settings")
  set(VORN_MAN_DESCRIPTION_vorn-relaunch "start the Vorn uploader again once it has ended")
  set(VORN_MAN_DESCRIPTION_vorn-photo-service "stand-in photo service for trying Vorn out")
  set(VORN_MAN_DESCRIPTION_vorn-capture-sim "write test photos with upload metadata")
  foreach(program ${VORN_PROGRAMS})
    if(TARGET ${program})
      set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
      add_custom_command(
        OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND env QT_QPA_PLATFORM=offscreen ${HELP2MAN} --no-info --no-discard-stderr
                --name=${VORN_MAN_DESCRIPTION_${program}} --version-string=${PROJECT_VERSION}
                --output=${page} $<TARGET_FILE:${program}>
        COMMAND ${GZIP} -9nf ${page}
        DEPENDS ${program}
        COMMENT "Man page for ${program}"
        VERBATIM)
      list(APPEND VORN_MAN_PAGES ${page}.gz)
    endif()
  endforeach()
  add_custom_target(man ALL DEPENDS ${VORN_MAN_PAGES})
  install(FILES ${VORN_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man not found (Debian package help2man): no man pages are installed")
endif()

# The package's copyright file and changelog, where Debian looks for them. The changelog's
# latest entry must be this version's.
set(VORN_PACKAGE_NAME vorn-uploader)
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog VORN_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT VORN_CHANGELOG_TOP MATCHES "^${VORN_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with \"${VORN_CHANGELOG_TOP}\": add an entry "
                      "for ${VORN_PACKAGE_NAME} ${PROJECT_VERSION} at its top")
endif()
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${GZIP} -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog >
          ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
  COMMENT "Compressing the package's changelog")
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
set(VORN_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${VORN_PACKAGE_NAME})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${VORN_PACKAGE_DOCDIR})
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${VORN_PACKAGE_DOCDIR})

# The Debian package: cpack -G DEB in the build folder.
set(VORN_PACKAGE_MAINTAINER "The Vorn developers <packages@vorn.org>"
    CACHE STRING "Maintainer of the Debian package: name <address>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VORN_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VORN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Unattended hot-folder photo uploader for event photography")
# Debian's lines: at most 80 characters. One string (set() with several would join them with ";").
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Watches a source folder for finished photos with embedded upload metadata,\n"
    "uploads each to the photo service and files it into a mirror or problem\n"
    "folder. Runs for weeks unattended as a systemd user service; vornctl shows\n"
    "its status and edits its settings.")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package (scripts/package.sh does).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dbus-user-session, bash-completion")
include(CPack)
