# Makes the Debian package with cpack, unpacks it into a scratch root with dpkg-deb and runs
# the unpacked kestrovan-host, with the unpacked plug-in, from there. Run by CTest (see
# CMakeLists.txt for the variables it is given).

include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/folder)

run("dpkg --print-architecture" dpkg --print-architecture)
string(STRIP "${out}" architecture)
run("cpack" ${CPACK} -G DEB -B ${WORK_DIR} --config ${BUILD_DIR}/CPackConfig.cmake)
set(deb ${WORK_DIR}/kestrovan-driver_${VERSION}_${architecture}.deb)
if(NOT EXISTS ${deb})
    file(GLOB made ${WORK_DIR}/*.deb)
    message(FATAL_ERROR "cpack made no ${deb}, but: ${made}")
endif()

# The dependencies are computed from the binaries, not written by hand.
run("dpkg-deb -f" ${DPKG_DEB} -f ${deb} Depends)
foreach(library libqt5core5a libqt5serialport5 libqt5xml5 libc6)
    if(NOT out MATCHES "${library} ")
        message(FATAL_ERROR "the package does not depend on ${library}: ${out}")
    endif()
endforeach()

set(root ${WORK_DIR}/root/usr)
run("dpkg-deb -x" ${DPKG_DEB} -x ${deb} ${WORK_DIR}/root)
string(REPLACE "," ";" qm_names "${QM_NAMES}")
list(TRANSFORM qm_names PREPEND ${DATAROOTDIR}/kestrovan/translations/)
foreach(file ${BINDIR}/kestrovan-host ${BINDIR}/kestrovan-sim ${BINDIR}/kestrovan-trace ${LIBDIR}/libkestrovandriver.so
        ${LIBDIR}/libtlcore.so ${LIBDIR}/libtldevs.so ${INCLUDEDIR}/kestrovan/driver/driver.h
        ${INCLUDEDIR}/kestrovan/host/TLAbstractGeneratorDriver.h ${LIBDIR}/cmake/Kestrovan/KestrovanConfig.cmake
        ${DATAROOTDIR}/kestrovan/data/kestrovan/errors.csv ${MANDIR}/man1/kestrovan-host.1
        ${MANDIR}/man1/kestrovan-sim.1 ${MANDIR}/man1/kestrovan-trace.1 ${qm_names})
    if(NOT EXISTS ${root}/${file})
        message(FATAL_ERROR "the package holds no /usr/${file}")
    endif()
endforeach()

run("kestrovan-host --version" ${root}/${BINDIR}/kestrovan-host --version)
if(NOT out MATCHES "^kestrovan-host ${VERSION}\ndriver [^\n]+ \\([^\n]*libkestrovandriver[^\n]*\\)\n$")
    message(FATAL_ERROR "kestrovan-host --version printed \"${out}\"")
endif()
# The unpacked plug-in loads, finds its libraries and makes a driver.
file(WRITE ${WORK_DIR}/script "init\ncommand version\nquit\n")
run("kestrovan-host with the unpacked plug-in" ${root}/${BINDIR}/kestrovan-host
    --plugin ${root}/${LIBDIR}/libkestrovandriver.so --indirect ${WORK_DIR}/folder ${WORK_DIR}/script)
# Each result line begins with a time stamp; indirect mode has no generator version to tell.
string(REGEX REPLACE "(^|\n)[0-9-]+ [0-9:.]+ " "\\1" out "${out}")
if(NOT out STREQUAL "ok\nwarning: no version: in indirect mode the console software sets the generator\nok\n")
    message(FATAL_ERROR "kestrovan-host with the unpacked plug-in printed:\n${out}")
endif()
