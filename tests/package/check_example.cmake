# Installs the build into a scratch prefix, builds the integration guide's example against the
# installed CMake package as a host project would, and runs it in indirect mode, in English and
# in German. The guide must quote the example's source as it is. Run by CTest (see CMakeLists.txt).

include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)

file(READ ${EXAMPLE_DIR}/main.cpp source)
file(READ ${GUIDE} guide)
string(FIND "${guide}" "${source}" quoted)
if(quoted EQUAL -1)
    message(FATAL_ERROR "${GUIDE} does not quote ${EXAMPLE_DIR}/main.cpp as it is")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/folder)
run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
run("configuring the example" ${CMAKE_COMMAND} -S ${EXAMPLE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON)
run("building the example" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)

# The driver speaks the user's language with the installed translation, and German without one.
foreach(locale "en_GB.UTF-8;The communication folder does not exist."
        "de_DE.UTF-8;Das Kommunikationsverzeichnis existiert nicht.")
    list(GET locale 0 name)
    list(GET locale 1 text)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LANGUAGE LC_ALL=${name}
        ${WORK_DIR}/build/kestrovan-example indirect ${WORK_DIR}/missing
        RESULT_VARIABLE status ERROR_VARIABLE err)
    string(FIND "${err}" "init: ${text}" found)
    if(NOT status EQUAL 1 OR found EQUAL -1)
        message(FATAL_ERROR "the example under ${name} (${status}) printed:\n${err}")
    endif()
endforeach()

# No console software answers, so the last exposure is the default one after the wait.
run("the example" ${WORK_DIR}/build/kestrovan-example indirect ${WORK_DIR}/folder)
if(NOT out STREQUAL "last exposure: 0 kV, 0 mAs, 0 mA, 0 ms\n")
    message(FATAL_ERROR "the example printed \"${out}\"")
endif()
file(READ ${WORK_DIR}/folder/EDVRAD.par parameters)
if(NOT parameters STREQUAL "RADID=AB12")
    message(FATAL_ERROR "the example left EDVRAD.par with \"${parameters}\"")
endif()
