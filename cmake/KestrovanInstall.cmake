# Install rules: the host libraries, the driver plug-in, the programs with their manual pages,
# the public headers, the translations, the sample error catalogue and a CMake package, so that
# a host can build against us with find_package(Kestrovan). Include after every target exists
# (after app/).
include_guard(GLOBAL)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KESTROVAN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrovan)
set(KESTROVAN_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kestrovan)
set(KESTROVAN_INSTALL_DATADIR ${CMAKE_INSTALL_DATAROOTDIR}/kestrovan)

# Installed programs and libraries find their neighbours relative to themselves.
file(RELATIVE_PATH kestrovan_install_bin_to_lib
    ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(tlcore tldevs kestrovandriver PROPERTIES INSTALL_RPATH "$ORIGIN")
foreach(program kestrovan-host kestrovan-sim kestrovan-trace)
    if(TARGET ${program})
        set_target_properties(${program} PROPERTIES
            INSTALL_RPATH "$ORIGIN/${kestrovan_install_bin_to_lib}")
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
        # Each program's manual page lies beside its sources.
        get_target_property(program_source_dir ${program} SOURCE_DIR)
        install(FILES ${program_source_dir}/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endforeach()

# The host libraries a host links against, exported as Kestrovan::tlcore and Kestrovan::tldevs.
install(TARGETS tlcore tldevs EXPORT KestrovanTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The plug-in is loaded at run time, never linked; its static rooms are inside it, so it is
# installed without the export.
install(TARGETS kestrovandriver LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

file(GLOB kestrovan_tlcore_headers ${PROJECT_SOURCE_DIR}/host/tlcore/*.h)
file(GLOB kestrovan_tldevs_headers ${PROJECT_SOURCE_DIR}/host/tldevs/*.h)
install(FILES ${kestrovan_tlcore_headers} ${kestrovan_tldevs_headers}
    DESTINATION ${KESTROVAN_INSTALL_INCLUDEDIR}/host)
install(FILES ${PROJECT_SOURCE_DIR}/driver/driver.h DESTINATION ${KESTROVAN_INSTALL_INCLUDEDIR}/driver)

if(TARGET kestrovan_translations)
    get_target_property(kestrovan_qm_files kestrovan_translations KESTROVAN_QM_FILES)
    install(FILES ${kestrovan_qm_files} DESTINATION ${KESTROVAN_INSTALL_DATADIR}/translations)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/app/data/kestrovan/errors.csv
    DESTINATION ${KESTROVAN_INSTALL_DATADIR}/data/kestrovan)

install(EXPORT KestrovanTargets NAMESPACE Kestrovan:: DESTINATION ${KESTROVAN_INSTALL_CMAKEDIR})
set(KESTROVAN_PLUGIN_FILE_NAME
    ${CMAKE_SHARED_LIBRARY_PREFIX}kestrovandriver${CMAKE_SHARED_LIBRARY_SUFFIX})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestrovanConfig.cmake.in
    ${PROJECT_BINARY_DIR}/KestrovanConfig.cmake
    INSTALL_DESTINATION ${KESTROVAN_INSTALL_CMAKEDIR}
    PATH_VARS KESTROVAN_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR KESTROVAN_INSTALL_DATADIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestrovanConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestrovanConfig.cmake
    ${PROJECT_BINARY_DIR}/KestrovanConfigVersion.cmake
    DESTINATION ${KESTROVAN_INSTALL_CMAKEDIR})
