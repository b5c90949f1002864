# Where this file lies: its functions refer to scripts beside it.
set(KESTROVAN_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

# Warnings that every target of ours builds with.
function(kestrovan_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# A static room of the driver: hidden symbols, so that only `driver` leaves the plug-in.
function(kestrovan_room target)
    add_library(${target} STATIC ${ARGN})
    kestrovan_warnings(${target})
    set_target_properties(${target} PROPERTIES
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()

# One Qt Test executable registered with CTest.
#   kestrovan_add_test(NAME tst_x SOURCES a.cpp LIBS lib... [TIMEOUT seconds] [LABELS l...]
#                      [SPLIT "function[:row]"...])
# SPLIT registers one CTest entry per function (or data row) given, so that the long waits of one
# executable run side by side under ctest -j; one more entry checks that they cover every case.
function(kestrovan_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;SPLIT" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    kestrovan_warnings(${T_NAME})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBS})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set(tests ${T_NAME})
    if(T_SPLIT)
        set(tests)
        foreach(part IN LISTS T_SPLIT)
            string(REGEX REPLACE "[^A-Za-z]+" "_" name "${T_NAME}_${part}")
            add_test(NAME ${name} COMMAND ${T_NAME} "${part}")
            list(APPEND tests ${name})
        endforeach()
        string(REPLACE ";" "|" parts "${T_SPLIT}")
        add_test(NAME ${T_NAME}_split COMMAND ${CMAKE_COMMAND} -DTEST=$<TARGET_FILE:${T_NAME}>
                 "-DPARTS=${parts}" -P ${KESTROVAN_CMAKE_DIR}/CheckSplitTest.cmake)
        list(APPEND tests ${T_NAME}_split)
    else()
        add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    endif()
    set_tests_properties(${tests} PROPERTIES TIMEOUT ${T_TIMEOUT})
    if(T_LABELS)
        set_tests_properties(${tests} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
