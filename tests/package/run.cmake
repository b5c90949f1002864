# run(<what> <command> <args>...): runs a command that must succeed, or stops the script with
# its output; its standard output is left in `out`.
function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${what} failed (${status}):\n${out}${err}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()
