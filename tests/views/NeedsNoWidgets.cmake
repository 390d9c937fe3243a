# cmake -DREADELF=<readelf> -DLOGIC=<binary>|<binary>... -DCONTROL=<binary> -P NeedsNoWidgets.cmake
#
# Fails when one of the LOGIC binaries (torvane-cli, the logic tests) needs libQt6Widgets, and
# when the CONTROL binary (a widget test) does not: a reading that cannot find Widgets where it is
# linked would pass everything.
foreach(var READELF LOGIC CONTROL)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "NeedsNoWidgets.cmake: ${var} is not set")
    endif()
endforeach()
string(REPLACE "|" ";" LOGIC "${LOGIC}")

function(needs_widgets binary result)
    if(NOT EXISTS "${binary}")
        message(FATAL_ERROR "${binary} is not built")
    endif()
    execute_process(COMMAND "${READELF}" --dynamic --wide "${binary}"
        OUTPUT_VARIABLE dynamic ERROR_VARIABLE error RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR NOT dynamic MATCHES "\\(NEEDED\\)")
        message(FATAL_ERROR "Cannot read the libraries ${binary} needs: ${error}")
    endif()
    if(dynamic MATCHES "\\(NEEDED\\)[^\n]*\\[libQt6Widgets\\.so")
        set(${result} TRUE PARENT_SCOPE)
    else()
        set(${result} FALSE PARENT_SCOPE)
    endif()
endfunction()

needs_widgets("${CONTROL}" control_needs)
if(NOT control_needs)
    message(FATAL_ERROR "The widget test ${CONTROL} shows no libQt6Widgets: the check reads nothing")
endif()

set(offenders "")
foreach(binary IN LISTS LOGIC)
    needs_widgets("${binary}" logic_needs)
    if(logic_needs)
        list(APPEND offenders "${binary}")
    endif()
endforeach()
if(offenders)
    list(JOIN offenders "\n  " lines)
    message(FATAL_ERROR "These must run without Qt Widgets but need libQt6Widgets:\n  ${lines}")
endif()
list(LENGTH LOGIC count)
message(STATUS "${count} logic binaries need no libQt6Widgets; ${CONTROL} does")
