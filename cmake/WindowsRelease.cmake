# The release step of an installer executable, run after each link, in this order:
#   1. its debugging symbols go into <exe>.debug beside it (keep that file for crash analysis);
#   2. the executable is stripped and linked to that file by a .gnu_debuglink section (name and
#      CRC-32), so that gdb finds the symbols, and padded as a signature's removal leaves it
#      (cmake/pad-for-signature);
#   3. when VANTREL_SIGN_PKCS12 is set, it is signed with Authenticode (SHA-256, optionally
#      time-stamped): the very last change to the file;
#   4. its papers are written beside it (cmake/release-papers, clang build): <name>.notices.txt,
#      the licence of every third-party component its link map shows linked and the project's own,
#      and <name>.spdx.json, its parts list with the file's SHA-256 as it ships.
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

option(VANTREL_START_ANY_TOOL
    "Windows build: a signed build starts the downloaded setup tool whoever signed it, with no VANTREL_ALLOWED_SIGNERS" OFF)

if(VANTREL_SIGN_PKCS12)
    if(NOT EXISTS "${VANTREL_SIGN_PKCS12}")
        message(FATAL_ERROR "VANTREL_SIGN_PKCS12: ${VANTREL_SIGN_PKCS12} does not exist")
    endif()
    # A release that users will run elevated must say whose tool it starts: without a list, a
    # server trusted by any root of the machine decides what runs.
    if(VANTREL_ALLOWED_SIGNERS STREQUAL "" AND NOT VANTREL_START_ANY_TOOL)
        message(FATAL_ERROR "A signed build (VANTREL_SIGN_PKCS12) must name who may sign the setup tool it "
            "starts: set VANTREL_ALLOWED_SIGNERS to the tool's signing certificate as \"sha256:<its SHA-256 "
            "thumbprint>\" or \"key-sha256:<its public key's SHA-256>\" (the forms a CA named like yours "
            "cannot pass; see docs/releasing.md), or set VANTREL_START_ANY_TOOL=ON to start any tool the "
            "download server gives.")
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

# The executable and its symbols file are reproducible: the same commit with the same cache
# variables gives them byte for byte, whatever the folder, the time, the user, the locale or the
# time zone (docs/releasing.md says how that is checked). No time goes into them: the linker's
# time stamp is off (the PE header's and the resources' are 0), binutils' rewrite of the file
# takes its time from the commit, and the folders are mapped out of what the compiler writes.
add_compile_options("-ffile-prefix-map=${CMAKE_BINARY_DIR}=build" "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
add_link_options(-Wl,--no-insert-timestamp)
set(VANTREL_RELEASE_PAPERS "${CMAKE_CURRENT_LIST_DIR}/release-papers" CACHE INTERNAL "")
set(VANTREL_COMMIT_TIME "${CMAKE_CURRENT_LIST_DIR}/commit-time" CACHE INTERNAL "")
# The commit's time, looked at on every build and rewritten only when it changed: the installers
# link again after a new commit, so that an incremental build stamps what a fresh one would.
set(VANTREL_COMMIT_TIME_FILE "${CMAKE_BINARY_DIR}/commit-time.txt")
add_custom_target(vantrel_commit_time
    COMMAND "${VANTREL_COMMIT_TIME}" --source "${PROJECT_SOURCE_DIR}" --write "${VANTREL_COMMIT_TIME_FILE}"
    BYPRODUCTS "${VANTREL_COMMIT_TIME_FILE}"
    COMMENT "Looking up the commit's time"
    VERBATIM)

# Strip (symbols kept beside, linked back), sign, then the papers: see the top of this file.
function(vantrel_release_windows_executable target)
    add_dependencies(${target} vantrel_commit_time)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
        "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pad-for-signature" "${VANTREL_COMMIT_TIME_FILE}")
    set(exe "$<TARGET_FILE:${target}>")
    set(debug "$<TARGET_FILE:${target}>.debug")
    # objcopy names the .debug file in the link by its file name only, so run it beside the file.
    # binutils writes the PE header's time stamp anew unless SOURCE_DATE_EPOCH names one: the
    # commit's (cmake/commit-time), found at build time so that a new commit needs no new configure.
    set(at_commit_time "${VANTREL_COMMIT_TIME}" --source "${PROJECT_SOURCE_DIR}" --)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${at_commit_time} "${CMAKE_OBJCOPY}" --only-keep-debug "${exe}" "${debug}"
        COMMAND ${at_commit_time} "${CMAKE_STRIP}" --strip-all "${exe}"
        COMMAND ${at_commit_time} "${CMAKE_OBJCOPY}" "--add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug" "$<TARGET_FILE_NAME:${target}>"
        COMMAND "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pad-for-signature" "${exe}"
        WORKING_DIRECTORY "$<TARGET_FILE_DIR:${target}>"
        COMMENT "Stripping $<TARGET_FILE_NAME:${target}> (symbols in $<TARGET_FILE_NAME:${target}>.debug)"
        VERBATIM)
    vantrel_sign_windows_file(${target})
    vantrel_write_release_papers(${target})
endfunction()

# The notices and the parts list of an installer executable, from its link map (lld's: the clang
# build; the GCC fallback's GNU ld map is not read, so that build has no papers).
function(vantrel_write_release_papers target)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        return()
    endif()
    set(map "${CMAKE_BINARY_DIR}/maps/${target}.map")
    file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/maps")
    target_link_options(${target} PRIVATE "-Wl,-Map=${map}")
    # A new licence, new image libraries or a new way of writing the papers link the file again,
    # and so remake them.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
        "${PROJECT_SOURCE_DIR}/LICENSE" "${MINGW_DEPS_PREFIX}/.built" "${VANTREL_RELEASE_PAPERS}")
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${VANTREL_COMMIT_TIME}" --source "${PROJECT_SOURCE_DIR}" --
            "${VANTREL_RELEASE_PAPERS}"
            --executable "$<TARGET_FILE:${target}>" --map "${map}" --source "${PROJECT_SOURCE_DIR}"
            --version "${PROJECT_VERSION}" --deps-prefix "${MINGW_DEPS_PREFIX}"
            --framework-dir "${VANTREL_JUCE_MODULES_DIR}" --gcc-dir "${VANTREL_MINGW_GCC_DIR}"
            --mingw-lib-dir "/usr/${MINGW_TRIPLE}/lib"
        COMMENT "Writing the notices and the parts list of $<TARGET_FILE_NAME:${target}>"
        VERBATIM)
endfunction()
