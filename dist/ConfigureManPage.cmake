# Writes a gzipped man page from its template:
#   cmake -DTEMPLATE=IN -DOUTPUT=OUT.gz [-DHELP_PROGRAM=EXE] -DPROJECT_VERSION=V -DTORVANE_RELEASE_DATE=D
#         -P ConfigureManPage.cmake
# With HELP_PROGRAM, the program's --help text fills @TORVANE_HELP@, so the page lists exactly the
# commands and options the installed program takes.
if(HELP_PROGRAM)
    execute_process(COMMAND ${HELP_PROGRAM} --help
        OUTPUT_VARIABLE help RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0 OR help STREQUAL "")
        message(FATAL_ERROR "${HELP_PROGRAM} --help failed (${status}): ${errors}")
    endif()
    string(STRIP "${help}" help)
    # roff: a backslash is written \e, a minus \-, and a line may not begin with a control character.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REPLACE "-" "\\-" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    set(TORVANE_HELP "${help}")
endif()
get_filename_component(folder "${OUTPUT}" DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
configure_file("${TEMPLATE}" "${page}" @ONLY)
# -n: no name or time stamp inside, so the same page gives the same bytes.
execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed")
endif()
