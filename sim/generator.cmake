# The generator simulator: a library for the tests and the program kestrovan-sim. The facade
# TLKestrovanGeneratorSimulator joins its line, its model and its exposure sequence.
target_sources(kestrovan_sim PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanSimulatedLine.h
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanSimulatedLine.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanGeneratorModel.h
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanGeneratorModel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanExposureSequence.h
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanExposureSequence.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanGeneratorSimulator.h
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanGeneratorSimulator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanSimulatorShell.h
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanSimulatorShell.cpp)

find_package(Threads REQUIRED)
target_link_libraries(kestrovan_sim PUBLIC Threads::Threads)

add_executable(kestrovan-sim ${CMAKE_CURRENT_LIST_DIR}/kestrovan-sim.cpp)
kestrovan_warnings(kestrovan-sim)
target_link_libraries(kestrovan-sim PRIVATE kestrovan_sim Qt5::Core)
