# Writes kelda-cli's manual page and bash completion as the program prints
# them from the descriptions of its commands (cmake -P, from CMakeLists.txt).
foreach(page IN ITEMS "--man;${MAN}" "--bash-completion;${COMPLETION}")
    list(GET page 0 option)
    list(GET page 1 file)
    execute_process(COMMAND ${CLI} help ${option} OUTPUT_FILE ${file} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        file(REMOVE ${file})
        message(FATAL_ERROR "kelda-cli help ${option} failed: ${status}")
    endif()
endforeach()
