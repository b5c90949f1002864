# Makes the Debian packages with cpack, reviews them with lintian, unpacks each into a scratch
# root with dpkg-deb, checks what each holds, and runs the unpacked kestrovan-host with the
# unpacked plug-in from there. Run by CTest (see CMakeLists.txt for the variables it is given).

include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/folder)

run("dpkg --print-architecture" dpkg --print-architecture)
string(STRIP "${out}" architecture)
run("cpack" ${CPACK} -G DEB -B ${WORK_DIR} --config ${BUILD_DIR}/CPackConfig.cmake)
set(runtime_deb ${WORK_DIR}/kestrovan-driver_${VERSION}_${architecture}.deb)
set(dev_deb ${WORK_DIR}/kestrovan-driver-dev_${VERSION}_${architecture}.deb)
file(GLOB made ${WORK_DIR}/*.deb)
list(SORT made)
if(NOT made STREQUAL "${dev_deb};${runtime_deb}")
    message(FATAL_ERROR "cpack made ${made}, not ${runtime_deb} and ${dev_deb}")
endif()

# Debian's own review: any error fails (warnings are printed by CTest on failure only).
if(LINTIAN)
    execute_process(COMMAND ${LINTIAN} --fail-on error ${runtime_deb} ${dev_deb}
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    message(STATUS "lintian (${status}):\n${out}")
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "lintian found errors in the packages:\n${out}${err}")
    endif()
endif()

# Whoever ships the packages is named in both.
foreach(deb ${made})
    run("dpkg-deb -f" ${DPKG_DEB} -f ${deb} Maintainer)
    if(NOT out STREQUAL "${MAINTAINER}\n")
        message(FATAL_ERROR "${deb} names the maintainer ${out}, not ${MAINTAINER}")
    endif()
endforeach()

# The runtime's dependencies are computed from the binaries, not written by hand; the
# development files need the runtime of the same version.
run("dpkg-deb -f" ${DPKG_DEB} -f ${runtime_deb} Depends)
foreach(library libqt5core5a libqt5serialport5 libqt5xml5 libc6)
    if(NOT out MATCHES "${library} ")
        message(FATAL_ERROR "the runtime package does not depend on ${library}: ${out}")
    endif()
endforeach()
run("dpkg-deb -f" ${DPKG_DEB} -f ${dev_deb} Depends)
if(NOT out MATCHES "(^|, )kestrovan-driver \\(= ${VERSION}\\)")
    message(FATAL_ERROR "the development package does not depend on this runtime: ${out}")
endif()

# Each package holds its own files and none of the other's.
string(REGEX REPLACE "\\..*" "" soname_major "${VERSION}")
set(private ${PRIVATE_LIBDIR})
string(REPLACE "," ";" qm_names "${QM_NAMES}")
list(TRANSFORM qm_names PREPEND ${DATAROOTDIR}/kestrovan/translations/)
set(runtime_files ${BINDIR}/kestrovan-host ${BINDIR}/kestrovan-sim ${BINDIR}/kestrovan-trace
    ${private}/libkestrovandriver.so.${soname_major} ${private}/libtlcore.so.${soname_major}
    ${private}/libtldevs.so.${soname_major} ${DATAROOTDIR}/kestrovan/data/kestrovan/errors.csv
    ${MANDIR}/man1/kestrovan-host.1.gz ${MANDIR}/man1/kestrovan-sim.1.gz
    ${MANDIR}/man1/kestrovan-trace.1.gz ${DATAROOTDIR}/doc/kestrovan-driver/integration.md.gz
    ${DATAROOTDIR}/doc/kestrovan-driver/copyright ${qm_names})
set(dev_files ${INCLUDEDIR}/kestrovan/driver/driver.h
    ${INCLUDEDIR}/kestrovan/host/TLAbstractGeneratorDriver.h ${LIBDIR}/cmake/Kestrovan/KestrovanConfig.cmake
    ${private}/libtlcore.so ${private}/libtldevs.so ${DATAROOTDIR}/doc/kestrovan-driver-dev/copyright)
foreach(package runtime dev)
    run("dpkg-deb -x" ${DPKG_DEB} -x ${${package}_deb} ${WORK_DIR}/${package})
endforeach()
foreach(package runtime dev)
    set(other dev)
    if(package STREQUAL "dev")
        set(other runtime)
    endif()
    # (The link names of the dev package point into the runtime one.)
    foreach(file ${${package}_files})
        if(NOT EXISTS ${WORK_DIR}/${package}/usr/${file} AND NOT IS_SYMLINK ${WORK_DIR}/${package}/usr/${file})
            message(FATAL_ERROR "the ${package} package holds no /usr/${file}")
        endif()
        if(EXISTS ${WORK_DIR}/${other}/usr/${file} OR IS_SYMLINK ${WORK_DIR}/${other}/usr/${file})
            message(FATAL_ERROR "the ${other} package holds /usr/${file} too")
        endif()
    endforeach()
endforeach()
# Nothing under the generic names a real host's libraries may have.
file(GLOB_RECURSE generic RELATIVE ${WORK_DIR} ${WORK_DIR}/*/usr/${LIBDIR}/lib*.so*)
list(FILTER generic EXCLUDE REGEX "/${private}/")
if(generic)
    message(FATAL_ERROR "libraries outside the private folder /usr/${private}: ${generic}")
endif()

set(root ${WORK_DIR}/runtime/usr)
set(host ${root}/${BINDIR}/kestrovan-host)
run("kestrovan-host --version" ${host} --version)
if(NOT out MATCHES "^kestrovan-host ${VERSION}\ndriver ${VERSION} \\([^\n]*libkestrovandriver[^\n]*\\)\n$")
    message(FATAL_ERROR "kestrovan-host --version printed \"${out}\"")
endif()
# The unpacked program finds the unpacked plug-in by itself (it loads its libraries by their
# versioned names), and the plug-in says which version it is.
file(WRITE ${WORK_DIR}/script "init\ncommand driverVersion\nquit\n")
run("the unpacked kestrovan-host" ${host} --indirect ${WORK_DIR}/folder ${WORK_DIR}/script)
# Each result line begins with a time stamp.
string(REGEX REPLACE "(^|\n)[0-9-]+ [0-9:.]+ " "\\1" out "${out}")
if(NOT out MATCHES "(^|\n)ok ${VERSION}\n")
    message(FATAL_ERROR "the unpacked plug-in did not answer driverVersion with ${VERSION}:\n${out}")
endif()
# ... and the unpacked translation.
if(NOT QM_NAMES MATCHES "kestrovan_en.qm")
    return()
endif()
execute_process(COMMAND ${host} --language en --indirect ${WORK_DIR}/missing ${WORK_DIR}/script
    OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT out MATCHES "The communication folder does not exist")
    message(FATAL_ERROR "the unpacked kestrovan-host --language en printed:\n${out}${err}")
endif()
# Without them it must not fall back to this build's translation or plug-in, which are still
# there: each run fails.
function(run_without file options)
    file(RENAME ${root}/${file} ${WORK_DIR}/hidden)
    execute_process(COMMAND ${host} ${options} --indirect ${WORK_DIR}/folder ${WORK_DIR}/script
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    file(RENAME ${WORK_DIR}/hidden ${root}/${file})
    if(status EQUAL 0)
        message(FATAL_ERROR "kestrovan-host ${options} without /usr/${file} (${status}):\n${out}${err}")
    endif()
endfunction()
run_without(${DATAROOTDIR}/kestrovan/translations/kestrovan_en.qm --language=en)
run_without(${private}/libkestrovandriver.so.${soname_major} "")
