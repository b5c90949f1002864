# Where an installed copy keeps its files, relative to the prefix. Include before the targets:
# the programs compile in where they find the plug-in and their data.
include_guard(GLOBAL)
include(GNUInstallDirs)

set(KESTROVAN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrovan)
set(KESTROVAN_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kestrovan)
set(KESTROVAN_INSTALL_DATADIR ${CMAKE_INSTALL_DATAROOTDIR}/kestrovan)
set(KESTROVAN_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrovan-driver)

# The plug-in and the host stand-in libraries live in a folder of their own, never beside a
# real host's libtlcore and libtldevs, and outside the dynamic linker's search path: the
# programs reach them through their RUNPATH, and a host through the path the CMake package
# gives. Below the architecture's folder (lib/x86_64-linux-gnu/kestrovan on Debian), where
# private libraries of an architecture belong and no ldconfig run is needed.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT CMAKE_INSTALL_LIBDIR MATCHES "/${CMAKE_LIBRARY_ARCHITECTURE}$")
    set(KESTROVAN_INSTALL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/${CMAKE_LIBRARY_ARCHITECTURE}/kestrovan)
else()
    set(KESTROVAN_INSTALL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/kestrovan)
endif()

# From an installed program to the private libraries and to share/.
file(RELATIVE_PATH KESTROVAN_BIN_TO_PRIVATE_LIBDIR
    ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${KESTROVAN_INSTALL_PRIVATE_LIBDIR})
file(RELATIVE_PATH KESTROVAN_BIN_TO_DATAROOTDIR
    ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATAROOTDIR})
