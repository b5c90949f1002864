# The console-software simulator: the far side of the communication folder.
find_package(Threads REQUIRED)
target_sources(kestrovan_sim PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanConsoleSimulator.h
    ${CMAKE_CURRENT_LIST_DIR}/TLKestrovanConsoleSimulator.cpp)
target_link_libraries(kestrovan_sim PUBLIC Threads::Threads)
