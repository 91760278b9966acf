# Build constants: what a vendor fixes per build (download hosts, language, the setup tool's
# allowed signers), plus the
# operating-system name the Linux build poses as so that it runs the Windows code paths.

# The hosts and the language: the table of the hosts and languages the program knows.
include(${CMAKE_CURRENT_LIST_DIR}/BuildTable.cmake)

set(VANTREL_LINUX_OS_NAME "Windows 10" CACHE STRING
    "Linux build only: the operating-system name reported in place of \"Linux\"")

set(VANTREL_ALLOWED_SIGNERS "" CACHE STRING
    "Windows build: who may have signed the setup tool before it is started, as a ;-list of \"subject CN\" or \"subject CN|issuer CN\"; empty: no check")

option(VANTREL_BUILD_TESTS "Build the tests and the test tools" OFF)
option(VANTREL_BUILD_FUZZERS "Build only the libFuzzer targets of the rules floor (clang, the linux-fuzz preset)" OFF)

# Entries of an allowed-signers list (the rules of download/SignerList.cpp): "sha256:<hex>" (the
# signing certificate's thumbprint) or "key-sha256:<hex>" (its public key's hash), 64 hex digits;
# or "subject" or "subject|issuer", the certificates' common names, neither blank, no quotes,
# backslashes, tabs or line breaks.
function(vantrel_check_signer_list what list)
    foreach(entry IN LISTS list)
        string(STRIP "${entry}" stripped)
        string(TOLOWER "${stripped}" lowered)
        if(lowered MATCHES "^(key-)?sha256:")
            set(bad_entry TRUE)
            if(lowered MATCHES "^(key-)?sha256: *[0-9a-f]+$")
                string(REGEX REPLACE "^(key-)?sha256: *" "" hash "${lowered}")
                string(LENGTH "${hash}" hash_length)
                if(hash_length EQUAL 64)
                    set(bad_entry FALSE)
                endif()
            endif()
        elseif(NOT stripped MATCHES "^[^|\"\\\t\r\n]+(\\|[^|\"\\\t\r\n]+)?$" OR stripped MATCHES "(^|\\|) *(\\||$)")
            set(bad_entry TRUE)
        else()
            set(bad_entry FALSE)
        endif()
        if(bad_entry)
            message(FATAL_ERROR "${what}: '${entry}' is not a signer. Each entry (entries separated by ;) "
                "is \"sha256:\" and the signing certificate's SHA-256 thumbprint, \"key-sha256:\" and the "
                "SHA-256 of its public key (64 hex digits each), or the certificate's subject common name "
                "(\"Issued to\"), optionally followed by | and its issuer's common name (\"Issued by\"), e.g. "
                "\"Keldmark Ltd\" or \"Keldmark Ltd|Example Code Signing CA\"; no quotes, backslashes or | "
                "within a name.")
        endif()
    endforeach()
endfunction()

vantrel_check_signer_list(VANTREL_ALLOWED_SIGNERS "${VANTREL_ALLOWED_SIGNERS}")
