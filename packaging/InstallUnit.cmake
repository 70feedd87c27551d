# Runs at install time (cmake --install, CPack): writes the systemd user unit with ExecStart
# naming vorn-uploader under the prefix being installed to, and installs it under that prefix.
# Set by the install(CODE) that includes this: VORN_UNIT_TEMPLATE, VORN_UNIT_STAGING,
# VORN_UNIT_BINDIR (absolute, or relative to the prefix).
if(IS_ABSOLUTE "${VORN_UNIT_BINDIR}")
  set(vorn_bindir "${VORN_UNIT_BINDIR}")
else()
  set(vorn_bindir "${CMAKE_INSTALL_PREFIX}/${VORN_UNIT_BINDIR}")
endif()
file(READ "${VORN_UNIT_TEMPLATE}" vorn_unit)
set(vorn_placeholder "ExecStart=%h/.local/bin/vorn-uploader ")
string(FIND "${vorn_unit}" "${vorn_placeholder}" vorn_at)
if(vorn_at EQUAL -1)
  message(FATAL_ERROR "${VORN_UNIT_TEMPLATE} lacks the line \"${vorn_placeholder}...\"")
endif()
string(REPLACE "${vorn_placeholder}" "ExecStart=${vorn_bindir}/vorn-uploader " vorn_unit
               "${vorn_unit}")
# One staging file per prefix: installs into two prefixes never write each other's.
string(MD5 vorn_key "${CMAKE_INSTALL_PREFIX}")
set(vorn_staged "${VORN_UNIT_STAGING}/${vorn_key}/vorn-uploader.service")
file(WRITE "${vorn_staged}" "${vorn_unit}")
# file(INSTALL) honours DESTDIR and records the file in install_manifest.txt.
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE
     FILES "${vorn_staged}")
