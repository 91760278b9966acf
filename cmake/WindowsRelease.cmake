# The release step of an installer executable, run after each link, in this order:
#   1. its debugging symbols go into <exe>.debug beside it (keep that file for crash analysis);
#   2. the executable is stripped and linked to that file by a .gnu_debuglink section (name and
#      CRC-32), so that gdb finds the symbols;
#   3. when VANTREL_SIGN_PKCS12 is set, it is signed with Authenticode (SHA-256, optionally
#      time-stamped): the very last change to the file.
# Without a certificate the executable is left unsigned. The PKCS#12 password is read, at build
# time, from the environment variable named by VANTREL_SIGN_PASSWORD_ENV; it never enters the
# CMake cache, the build files or a log.

set(VANTREL_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file (certificate, chain and key) to sign the installer with; empty: unsigned")
set(VANTREL_SIGN_TIMESTAMP_URL "" CACHE STRING
    "Optional RFC 3161 time-stamping address used when signing (e.g. http://timestamp.digicert.com)")
set(VANTREL_SIGN_PASSWORD_ENV "VANTREL_SIGN_PASSWORD" CACHE STRING
    "Name of the environment variable that holds the PKCS#12 password when building")

set(VANTREL_SIGN_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/sign-windows-file" CACHE INTERNAL "")

if(VANTREL_SIGN_PKCS12)
    if(NOT EXISTS "${VANTREL_SIGN_PKCS12}")
        message(FATAL_ERROR "VANTREL_SIGN_PKCS12: ${VANTREL_SIGN_PKCS12} does not exist")
    endif()
    find_program(VANTREL_OSSLSIGNCODE osslsigncode)
    if(NOT VANTREL_OSSLSIGNCODE)
        message(FATAL_ERROR "signing needs osslsigncode (scripts/setup installs it)")
    endif()
endif()

# Adds the signing of <file> (a target's output, by default) as a POST_BUILD step of <target>.
# Usable for any Windows file the build makes: vantrel_sign_windows_file(<target> [FILE <path>]).
function(vantrel_sign_windows_file target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "FILE" "")
    if(NOT VANTREL_SIGN_PKCS12)
        return()
    endif()
    if(NOT arg_FILE)
        set(arg_FILE "$<TARGET_FILE:${target}>")
        # A new certificate (tools/testca remakes an expiring one) links and signs the file again.
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${VANTREL_SIGN_PKCS12}")
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${VANTREL_SIGN_SCRIPT}"
            --osslsigncode "${VANTREL_OSSLSIGNCODE}"
            --pkcs12 "${VANTREL_SIGN_PKCS12}"
            --password-env "${VANTREL_SIGN_PASSWORD_ENV}"
            --timestamp-url "${VANTREL_SIGN_TIMESTAMP_URL}"
            --description "${PROJECT_DESCRIPTION}"
            "${arg_FILE}"
        COMMENT "Signing ${arg_FILE}"
        VERBATIM)
endfunction()

# Strip (symbols kept beside, linked back), then sign: see the top of this file.
function(vantrel_release_windows_executable target)
    set(exe "$<TARGET_FILE:${target}>")
    set(debug "$<TARGET_FILE:${target}>.debug")
    # objcopy names the .debug file in the link by its file name only, so run it beside the file.
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${CMAKE_OBJCOPY}" --only-keep-debug "${exe}" "${debug}"
        COMMAND "${CMAKE_STRIP}" --strip-all "${exe}"
        COMMAND "${CMAKE_OBJCOPY}" "--add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug" "$<TARGET_FILE_NAME:${target}>"
        WORKING_DIRECTORY "$<TARGET_FILE_DIR:${target}>"
        COMMENT "Stripping $<TARGET_FILE_NAME:${target}> (symbols in $<TARGET_FILE_NAME:${target}>.debug)"
        VERBATIM)
    vantrel_sign_windows_file(${target})
endfunction()
