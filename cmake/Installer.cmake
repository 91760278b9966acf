# One executable of the installer: the shared code plus its own build constants (language,
# hosts, allowed signers) and, on Windows, the resources. Tests add more executables with other
# constants: vantrel_add_installer(<target> LANGUAGE <code> [OUTPUT_NAME <name>]
# [ALLOWED_SIGNERS <list>]), the signers by default VANTREL_ALLOWED_SIGNERS.

function(vantrel_add_installer target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "LANGUAGE;OUTPUT_NAME;ALLOWED_SIGNERS" "")
    if(NOT DEFINED arg_ALLOWED_SIGNERS)
        set(arg_ALLOWED_SIGNERS "${VANTREL_ALLOWED_SIGNERS}")
    endif()
    vantrel_check_language("LANGUAGE of ${target}" "${arg_LANGUAGE}")
    vantrel_check_signer_list("ALLOWED_SIGNERS of ${target}" "${arg_ALLOWED_SIGNERS}")
    # A list's ";" would split the definition: new lines (as C escapes) stand for it.
    string(REPLACE ";" "\\n" signers "${arg_ALLOWED_SIGNERS}")

    add_executable(${target} WIN32 app/Main.cpp app/BuildSettings.cpp)
    target_compile_definitions(${target} PRIVATE
        VANTREL_VERSION="${PROJECT_VERSION}"
        VANTREL_LANGUAGE="${arg_LANGUAGE}"
        VANTREL_HOSTS="${VANTREL_HOSTS_DEFINITION}"
        VANTREL_ALLOWED_SIGNERS="${signers}")
    target_link_libraries(${target} PRIVATE vantrel_app)
    vantrel_strict_warnings(${target})

    if(arg_OUTPUT_NAME)
        set_target_properties(${target} PROPERTIES OUTPUT_NAME ${arg_OUTPUT_NAME})
    endif()

    if(WIN32)
        vantrel_add_windows_resources(${target})
        target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/windows/DllSearchHardening.cpp)
        vantrel_leave_out_standard_streams(${target})
        # What ships: stripped (symbols in <exe>.debug beside it), then signed if a certificate is given.
        vantrel_release_windows_executable(${target})
    endif()
endfunction()
