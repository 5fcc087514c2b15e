# Deploys a Windows program built on Linux, where Qt has no deploy tool: run
# at install time, it copies the Qt plugins the program loads and every DLL
# that the program and those plugins import, found by reading their import
# tables. What none of the search folders holds is Windows' own (kernel32,
# msvcrt, ...) and stays out.
#
# Set before include(): DEPLOY_DIR (the folder holding the installed .exe),
# DEPLOY_EXE, DEPLOY_PLUGINS (paths relative to DEPLOY_PLUGIN_ROOT),
# DEPLOY_PLUGIN_ROOT, DEPLOY_SEARCH_DIRS, DEPLOY_OBJDUMP, DEPLOY_STRIP.
#
# With "cmake --install --strip" every DLL is stripped as it is copied:
# Debian's libstdc++-6.dll alone carries over 20 MB of debug information.

function(deploy_copy file destination)
    file(INSTALL "${file}" DESTINATION "${destination}")
    if(CMAKE_INSTALL_DO_STRIP)
        get_filename_component(name "${file}" NAME)
        execute_process(COMMAND "${DEPLOY_STRIP}" --strip-unneeded "${destination}/${name}"
            RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "Cannot strip ${destination}/${name}")
        endif()
    endif()
endfunction()

foreach(plugin IN LISTS DEPLOY_PLUGINS)
    get_filename_component(plugin_dir "${plugin}" DIRECTORY)
    deploy_copy("${DEPLOY_PLUGIN_ROOT}/${plugin}" "${DEPLOY_DIR}/${plugin_dir}")
endforeach()

# Import names are case-insensitive on Windows and the files' own spelling is
# what must be copied: index the search folders by lower-case name.
foreach(dir IN LISTS DEPLOY_SEARCH_DIRS)
    file(GLOB dlls "${dir}/*.dll" "${dir}/*.DLL")
    foreach(dll IN LISTS dlls)
        get_filename_component(name "${dll}" NAME)
        string(TOLOWER "${name}" key)
        if(NOT DEFINED found_${key})
            set(found_${key} "${dll}")
        endif()
    endforeach()
endforeach()

set(queue "${DEPLOY_DIR}/${DEPLOY_EXE}")
foreach(plugin IN LISTS DEPLOY_PLUGINS)
    list(APPEND queue "${DEPLOY_DIR}/${plugin}")
endforeach()
set(seen "")
set(system "")
while(queue)
    list(POP_FRONT queue binary)
    execute_process(COMMAND "${DEPLOY_OBJDUMP}" -p "${binary}"
        OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "Cannot read the import table of ${binary}")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
    foreach(import IN LISTS imports)
        string(REGEX REPLACE "^DLL Name: " "" name "${import}")
        string(TOLOWER "${name}" key)
        list(FIND seen "${key}" known)
        if(known GREATER -1)
            continue()
        endif()
        list(APPEND seen "${key}")
        if(DEFINED found_${key})
            deploy_copy("${found_${key}}" "${DEPLOY_DIR}")
            get_filename_component(file_name "${found_${key}}" NAME)
            list(APPEND queue "${DEPLOY_DIR}/${file_name}")
        else()
            list(APPEND system "${name}")
        endif()
    endforeach()
endwhile()
list(SORT system CASE INSENSITIVE)
message(STATUS "Left to Windows: ${system}")
