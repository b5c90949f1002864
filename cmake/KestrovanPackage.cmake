# The Debian packages of what is installed: `cpack -G DEB` in the build directory makes
#   kestrovan-driver_<version>_<architecture>.deb      the runtime component
#   kestrovan-driver-dev_<version>_<architecture>.deb  the dev component
# Include after the install rules.
include_guard(GLOBAL)

# Whoever ships the packages signs them: the Maintainer field and the changelog's signature.
set(KESTROVAN_PACKAGE_MAINTAINER "Kestrovan driver maintainers <kestrovan-driver@example.invalid>"
    CACHE STRING "Maintainer of the Debian packages, \"Name <address>\"")

# What Debian wants in every package's documentation folder: the copyright, and the changelog
# with one entry, this version by the maintainer who ships it.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
kestrovan_install_gzipped(${PROJECT_BINARY_DIR}/debian/changelog ${KESTROVAN_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${KESTROVAN_INSTALL_DOCDIR}
    COMPONENT runtime)
install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
    DESTINATION ${KESTROVAN_INSTALL_DOCDIR}-dev COMPONENT dev)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrovan-driver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KESTROVAN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME kestrovan-driver)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME kestrovan-driver-dev)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION science)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# Each description's first line is its summary; the lines stay within 80 columns.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Kestrovan X-ray generator driver plug-in and tools
The plug-in through which an X-ray imaging host application controls a
Kestrovan X-ray generator, over a serial port or through the shared folder of
the generator's console software, with the host libraries it is built on.
Also the test host kestrovan-host, the generator simulator kestrovan-sim, the
protocol analyzer kestrovan-trace, a sample error catalogue, the translations
and the integration guide.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "Kestrovan X-ray generator driver: development files
Headers of the host libraries and of the plug-in's entry point, and the CMake
package Kestrovan, for building a host application that loads the Kestrovan
X-ray generator driver.")

# The libraries the programs and the plug-in link against, found by dpkg-shlibdeps; our own
# come with the runtime package.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# The headers include Qt's, and the CMake package asks for Qt5Core.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "qtbase5-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "cmake")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

include(CPack)
cpack_add_component(runtime DISPLAY_NAME "Driver plug-in and tools" REQUIRED)
cpack_add_component(dev DISPLAY_NAME "Development files" DEPENDS runtime)
