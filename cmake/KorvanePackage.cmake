# The Debian package: `cmake --build <dir> --target package` (scripts/package makes the release one).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane-client)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Ostrelle)
set(CPACK_PACKAGE_CONTACT "Ostrelle <${KORVANE_SUPPORT_MAIL}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "measure download speed from a Korvane server or a web page")
# Lines of the long description stay under 80 characters, as package tools show them; one
# string, since separate ones would be joined by semicolons.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Korvane Client downloads from a Korvane stream server over TCP, or fetches a\n"
  "web page with its own HTTP/1.1 client, times the transfer in microseconds and\n"
  "keeps every valid result in a table shown as a grid, a bar chart and a running\n"
  "average.\n"
  "\n"
  "The package holds the window (korvclnt), the command-line client\n"
  "(korvane-cli) and the stream server (korvane-server) with a sandboxed systemd\n"
  "service, which is not enabled on installation.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://${KORVANE_WEB_HOST}/")
# Libraries are found by dpkg-shlibdeps; nothing links to what is only loaded at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# https pages are verified against the system's trust store, which ca-certificates fills.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, qt6-wayland, ca-certificates")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# The options files are the administrator's: dpkg keeps their changes over upgrades.
get_property(conffiles GLOBAL PROPERTY KORVANE_CONFFILES)
list(JOIN conffiles "\n" conffiles)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/debian/conffiles "${conffiles}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/packaging/debian/conffiles
  ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
