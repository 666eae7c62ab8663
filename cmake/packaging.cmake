# Debian packages, made by `make package` (cpack in the build folder):
#   weft-pipe   (component runtime) the program, libzeb.so.0, the plug-ins, the
#               service unit, /etc/weft-pipe/config.json and the examples;
#   libzeb-dev  (component dev) the headers, zeb.pc and the libzeb.so link.
# Both install under /usr, whatever prefix the build was configured with.

# The configuration file and the unit make sense only for the package: a plain
# `cmake --install` under a prefix of one's own must not write to /etc or name
# /usr/bin in a unit, so they are left out of it.
install(FILES packaging/config.json
  DESTINATION /etc/weft-pipe COMPONENT runtime EXCLUDE_FROM_ALL)
install(FILES packaging/weft-pipe.service
  DESTINATION lib/systemd/system COMPONENT runtime EXCLUDE_FROM_ALL)
install(FILES README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/weft-pipe COMPONENT runtime)
install(DIRECTORY examples/
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/weft-pipe/examples COMPONENT runtime
  FILES_MATCHING PATTERN "*.json")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME weft-pipe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT
  "weft-pipe maintainers <maintainers@users.noreply.c-seed-2eb1be9c.example>")
# Absolute destinations (/etc) must land in the package, never on this machine;
# the rest goes under /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME weft-pipe)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Industrial telemetry gateway\n\
weft-pipe runs a chain of blocks described in a JSON file to move plant data\n\
between MQTT, OPC UA and files, reshaping it on the way. The package holds the\n\
program, its messaging library, the MQTT and OPC UA plug-ins and a systemd\n\
service reading /etc/weft-pipe/config.json.")
# adduser makes the service's user; the rest comes from the binaries.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "adduser")
# libzeb.so.0 is public: a shlibs entry lets other packages depend on it (the
# plug-ins have no soname, so it is written here rather than generated), and the
# ldconfig trigger refreshes the loader's cache, which CPack's own postinst
# would otherwise do.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/shlibs
  "libzeb ${PROJECT_VERSION_MAJOR} weft-pipe (>= ${PROJECT_VERSION})\n")
set(_weft_control ${PROJECT_SOURCE_DIR}/packaging/debian)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${_weft_control}/conffiles ${_weft_control}/triggers ${CMAKE_BINARY_DIR}/packaging/shlibs
  ${_weft_control}/postinst ${_weft_control}/prerm ${_weft_control}/postrm)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzeb-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Development files of libzeb, the weft-pipe messaging client library\n\
Headers, the pkg-config file zeb.pc and the link for the linker, to build\n\
clients of libzeb and transport plug-ins.")
# zeb.pc requires nlohmann_json, whose headers the public headers include.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "weft-pipe (= ${PROJECT_VERSION}), nlohmann-json3-dev")

include(CPack)
