# Run by cpack after it has made the zip (CPACK_POST_BUILD_SCRIPTS). CPack adds the staged files
# in the order the file system lists them, which differs between file systems, and dates them
# with their build times. This writes the zip again from the same staged files, in name order,
# every entry dated the time of the last commit (SOURCE_DATE_EPOCH instead, when it is set), so
# that the same sources always give the same zip.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
    execute_process(COMMAND git -C "${CPACK_VANTREL_SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(failed OR NOT epoch MATCHES "^[0-9]+$")
        set(epoch 315532800) # 1980-01-01, the earliest time a zip entry can hold
    endif()
endif()

file(GLOB_RECURSE entries LIST_DIRECTORIES false RELATIVE "${CPACK_TOPLEVEL_DIRECTORY}"
     "${CPACK_TEMPORARY_DIRECTORY}/*")
list(SORT entries)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    file(REMOVE "${package}")
    # Zip entries hold local times: UTC, so that the machine's time zone does not show.
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env TZ=UTC0 SOURCE_DATE_EPOCH=${epoch}
                            "${CMAKE_COMMAND}" -E tar cf "${package}" --format=zip -- ${entries}
                    WORKING_DIRECTORY "${CPACK_TOPLEVEL_DIRECTORY}" RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "Could not write ${package} again in name order: ${failed}")
    endif()
endforeach()
