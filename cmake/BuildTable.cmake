# The download hosts and the languages the program knows, a row each. Everything else that names
# them is made from here: the hosts' cache variables, the download table (download/BuildTable.h),
# the executables' constants, the test builds' hosts, and what the tests and scripts/verify-release
# read (tests/harness/facts.py). A new host is a row; a new language is a row and its red texts,
# Texts::Shown::<code> in constants/Texts.h.
#
#   host <cache variable> <platform tag> <what the system's name contains>
#       Serves the systems whose name contains the text (the host rows are tried in order); the tag
#       starts their variant key ("win" of "wincn"). Defaults to <name>.download.vantrel.example
#       (VANTREL_WIN10_HOST: win10...); in a test build it is localhost at VANTREL_TEST_MIRROR_PORT
#       plus the row's place among the hosts.
#   language <code> <file name>
#       The code ends the variant key; the file is its build's path on every host. The first
#       language is VANTREL_LANGUAGE's default.
set(VANTREL_BUILD_TABLE
    "host      VANTREL_WIN10_HOST  win   Windows 1"
    "host      VANTREL_WIN7_HOST   win7  Windows 7"
    "language  cn  /VantrelInstall_winCN.exe"
    "language  en  /VantrelInstall_winEN.exe")

# A system no host serves gets this tag and no address (the program shows the network text).
set(no_build_tag mac)

set(VANTREL_TEST_MIRROR_PORT "" CACHE STRING
    "Test builds: the local mirror's first port; each host is then localhost at this port plus its place in cmake/BuildTable.cmake")

set(VANTREL_HOST_VARIABLES "")
set(VANTREL_LANGUAGES "")
set(host_tags "")
set(host_rows "")
set(language_rows "")
set(variant_keys "")
set(host_index 0)

foreach(row IN LISTS VANTREL_BUILD_TABLE)
    if(row MATCHES "^host +(VANTREL_([A-Z0-9]+)_HOST) +([a-z][a-z0-9]*) +([^\"\\\\]+)$")
        set(variable ${CMAKE_MATCH_1})
        string(TOLOWER "${CMAKE_MATCH_2}" name)
        set(tag ${CMAKE_MATCH_3})
        set(contains "${CMAKE_MATCH_4}")
        if(tag STREQUAL no_build_tag)
            message(FATAL_ERROR "cmake/BuildTable.cmake: '${no_build_tag}' is the tag of systems without a build")
        endif()
        if(variable IN_LIST VANTREL_HOST_VARIABLES)
            message(FATAL_ERROR "cmake/BuildTable.cmake: ${variable} has two rows")
        endif()
        set(description "Download host (name with an optional :port) of the systems whose name contains \"${contains}\"")
        if(VANTREL_TEST_MIRROR_PORT)
            # Set again at each configure, so that a row added before others moves their ports too.
            math(EXPR port "${VANTREL_TEST_MIRROR_PORT} + ${host_index}")
            set(${variable} "localhost:${port}" CACHE STRING "${description}" FORCE)
        else()
            set(${variable} "${name}.download.vantrel.example" CACHE STRING "${description}")
        endif()
        if(NOT ${variable} MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]+)?$")
            message(FATAL_ERROR "${variable} must be a host name with an optional :port, not '${${variable}}'")
        endif()
        list(APPEND VANTREL_HOST_VARIABLES ${variable})
        list(APPEND host_tags ${tag})
        string(APPEND host_rows "        { \"${name}\", \"${tag}\", \"${contains}\" },\n")
        math(EXPR host_index "${host_index} + 1")
    elseif(row MATCHES "^language +([a-z]+) +(/[A-Za-z0-9._/-]+)$")
        list(APPEND VANTREL_LANGUAGES ${CMAKE_MATCH_1})
        string(APPEND language_rows
            "        { \"${CMAKE_MATCH_1}\", \"${CMAKE_MATCH_2}\", Texts::Shown::${CMAKE_MATCH_1} },\n")
    else()
        message(FATAL_ERROR "cmake/BuildTable.cmake: '${row}' is neither a host row nor a language row")
    endif()
endforeach()

# Each variant key must name one host and one language, so that the key alone chooses them.
foreach(tag IN LISTS host_tags no_build_tag)
    foreach(language IN LISTS VANTREL_LANGUAGES)
        if("${tag}${language}" IN_LIST variant_keys)
            message(FATAL_ERROR "cmake/BuildTable.cmake: the variant key '${tag}${language}' is made twice")
        endif()
        list(APPEND variant_keys "${tag}${language}")
    endforeach()
endforeach()

list(GET VANTREL_LANGUAGES 0 first_language)
set(VANTREL_LANGUAGE "${first_language}" CACHE STRING "Language code of the build: one of cmake/BuildTable.cmake's")
set_property(CACHE VANTREL_LANGUAGE PROPERTY STRINGS ${VANTREL_LANGUAGES})

# vantrel_check_language(<what> <code>): stops the configure unless the table knows the language.
function(vantrel_check_language what code)
    if(NOT code IN_LIST VANTREL_LANGUAGES)
        string(REPLACE ";" ", " known "${VANTREL_LANGUAGES}")
        message(FATAL_ERROR "${what} must be one of ${known} (cmake/BuildTable.cmake), not '${code}'")
    endif()
endfunction()
vantrel_check_language(VANTREL_LANGUAGE "${VANTREL_LANGUAGE}")

# The hosts as an executable's constant, "<name>=<host>" a line each (cmake/Installer.cmake).
set(VANTREL_HOSTS_DEFINITION "")
foreach(variable IN LISTS VANTREL_HOST_VARIABLES)
    string(REGEX REPLACE "^VANTREL_(.*)_HOST$" "\\1" name "${variable}")
    string(TOLOWER "${name}" name)
    if(VANTREL_HOSTS_DEFINITION)
        string(APPEND VANTREL_HOSTS_DEFINITION "\\n")
    endif()
    string(APPEND VANTREL_HOSTS_DEFINITION "${name}=${${variable}}")
endforeach()

set(VANTREL_NO_BUILD_TAG ${no_build_tag})
set(VANTREL_BUILD_TABLE_HOSTS "${host_rows}")
set(VANTREL_BUILD_TABLE_LANGUAGES "${language_rows}")
configure_file(${PROJECT_SOURCE_DIR}/download/BuildTable.h.in
    ${CMAKE_BINARY_DIR}/generated/download/BuildTable.h @ONLY)
