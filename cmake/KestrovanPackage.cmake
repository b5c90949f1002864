# The Debian package of everything that is installed: `cpack -G DEB` in the build directory
# makes kestrovan-driver_<version>_<architecture>.deb. Include after the install rules.
include_guard(GLOBAL)

set(KESTROVAN_PACKAGE_MAINTAINER "Kestrovan driver maintainers <kestrovan-driver@example.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrovan-driver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KESTROVAN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kestrovan X-ray generator driver plug-in")
set(CPACK_PACKAGE_DESCRIPTION "Plug-in through which an X-ray imaging host application controls a
Kestrovan X-ray generator, over a serial port or through the generator console's shared folder.
With the host libraries and headers to build a host against it (CMake package Kestrovan), the
test host kestrovan-host, the generator simulator kestrovan-sim, a sample error catalogue and
the translations.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The libraries the programs and the plug-in link against, found by dpkg-shlibdeps; our own
# libraries come with the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Building a host against the package needs Qt's development files and CMake.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qtbase5-dev, cmake")

include(CPack)
