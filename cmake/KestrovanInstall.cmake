# Install rules, in two components that become the two Debian packages:
#   runtime  the plug-in and the host libraries (in a private folder), the programs with their
#            manual pages, the sample error catalogue, the translations, the integration guide;
#   dev      the headers, the host libraries' link names and the CMake package, so that a host
#            can build against us with find_package(Kestrovan).
# Include after every target exists (after app/); the folders come from KestrovanInstallDirs.
include_guard(GLOBAL)
include(CMakePackageConfigHelpers)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME runtime)

# Which driver a host runs is told by the libraries' names: a change that breaks the host
# libraries' or the plug-in's interface raises the major version and with it the SONAME.
set_target_properties(tlcore tldevs kestrovandriver PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

# The plug-in finds the host libraries beside itself, the programs find all three in the
# private folder; the dynamic linker then loads each library once per process, by its SONAME.
set_target_properties(tlcore tldevs kestrovandriver PROPERTIES INSTALL_RPATH "$ORIGIN")

# The release date of the manual pages and the package's changelog: the day of the configure
# run, or SOURCE_DATE_EPOCH for a reproducible package.
string(TIMESTAMP KESTROVAN_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP KESTROVAN_RELEASE_TIME "%a, %d %b %Y %H:%M:%S +0000" UTC)

# Manual pages and Debian's documents are installed compressed: gzip -9n, so that the same
# input gives the same bytes.
find_program(KESTROVAN_GZIP gzip)
if(NOT KESTROVAN_GZIP)
    message(FATAL_ERROR "gzip not found: the manual pages cannot be installed")
endif()
#   kestrovan_install_gzipped(<file made in the build folder> <destination> [<component>])
function(kestrovan_install_gzipped source destination)
    set(component ${ARGN})
    if(NOT component)
        set(component runtime)
    endif()
    file(RELATIVE_PATH name ${PROJECT_BINARY_DIR} ${source})
    string(MAKE_C_IDENTIFIER "kestrovan_gzip_${name}" target)
    add_custom_command(OUTPUT ${source}.gz
        COMMAND ${KESTROVAN_GZIP} -9nkf ${source}
        DEPENDS ${source}
        COMMENT "Compressing ${name}"
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${source}.gz)
    install(FILES ${source}.gz DESTINATION ${destination} COMPONENT ${component})
endfunction()

foreach(program kestrovan-host kestrovan-sim kestrovan-trace)
    if(TARGET ${program})
        set_target_properties(${program} PROPERTIES
            INSTALL_RPATH "$ORIGIN/${KESTROVAN_BIN_TO_PRIVATE_LIBDIR}")
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
        # Each program's manual page lies beside its sources; the version and the date of its
        # footer are filled in here.
        get_target_property(program_source_dir ${program} SOURCE_DIR)
        configure_file(${program_source_dir}/${program}.1 ${PROJECT_BINARY_DIR}/man/${program}.1 @ONLY)
        kestrovan_install_gzipped(${PROJECT_BINARY_DIR}/man/${program}.1 ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endforeach()

# The host libraries a host links against, exported as Kestrovan::tlcore and Kestrovan::tldevs;
# their link names (libtlcore.so) only with the development files.
install(TARGETS tlcore tldevs EXPORT KestrovanTargets
    LIBRARY DESTINATION ${KESTROVAN_INSTALL_PRIVATE_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
# The plug-in is loaded at run time by its SONAME file (libkestrovandriver.so.1), never linked:
# no link name; its static rooms are inside it, so it is installed without the export.
install(TARGETS kestrovandriver
    LIBRARY DESTINATION ${KESTROVAN_INSTALL_PRIVATE_LIBDIR} COMPONENT runtime NAMELINK_SKIP)

file(GLOB kestrovan_tlcore_headers ${PROJECT_SOURCE_DIR}/host/tlcore/*.h)
file(GLOB kestrovan_tldevs_headers ${PROJECT_SOURCE_DIR}/host/tldevs/*.h)
install(FILES ${kestrovan_tlcore_headers} ${kestrovan_tldevs_headers}
    DESTINATION ${KESTROVAN_INSTALL_INCLUDEDIR}/host COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/driver/driver.h
    DESTINATION ${KESTROVAN_INSTALL_INCLUDEDIR}/driver COMPONENT dev)

if(TARGET kestrovan_translations)
    get_target_property(kestrovan_qm_files kestrovan_translations KESTROVAN_QM_FILES)
    install(FILES ${kestrovan_qm_files} DESTINATION ${KESTROVAN_INSTALL_DATADIR}/translations
        COMPONENT runtime)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/app/data/kestrovan/errors.csv
    DESTINATION ${KESTROVAN_INSTALL_DATADIR}/data/kestrovan COMPONENT runtime)

# The integration guide (the copyright and the changelog come with the package's rules).
configure_file(${PROJECT_SOURCE_DIR}/docs/integration.md ${PROJECT_BINARY_DIR}/doc/integration.md COPYONLY)
kestrovan_install_gzipped(${PROJECT_BINARY_DIR}/doc/integration.md ${KESTROVAN_INSTALL_DOCDIR})

install(EXPORT KestrovanTargets NAMESPACE Kestrovan:: DESTINATION ${KESTROVAN_INSTALL_CMAKEDIR}
    COMPONENT dev)
set(KESTROVAN_PLUGIN_FILE_NAME
    ${CMAKE_SHARED_LIBRARY_PREFIX}kestrovandriver${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION_MAJOR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestrovanConfig.cmake.in
    ${PROJECT_BINARY_DIR}/KestrovanConfig.cmake
    INSTALL_DESTINATION ${KESTROVAN_INSTALL_CMAKEDIR}
    PATH_VARS KESTROVAN_INSTALL_INCLUDEDIR KESTROVAN_INSTALL_PRIVATE_LIBDIR KESTROVAN_INSTALL_DATADIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestrovanConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestrovanConfig.cmake
    ${PROJECT_BINARY_DIR}/KestrovanConfigVersion.cmake
    DESTINATION ${KESTROVAN_INSTALL_CMAKEDIR} COMPONENT dev)
