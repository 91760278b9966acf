# Build constants: what a vendor fixes per build (download hosts, language), plus the
# operating-system name the Linux build poses as so that it runs the Windows code paths.

set(VANTREL_LANGUAGE "cn" CACHE STRING "Language code of the build: cn or en")
set_property(CACHE VANTREL_LANGUAGE PROPERTY STRINGS cn en)

set(VANTREL_WIN10_HOST "win10.download.vantrel.example" CACHE STRING
    "First download host (Windows 10 and 11 builds): host name with an optional :port")
set(VANTREL_WIN7_HOST "win7.download.vantrel.example" CACHE STRING
    "Second download host (Windows 7 builds): host name with an optional :port")

set(VANTREL_LINUX_OS_NAME "Windows 10" CACHE STRING
    "Linux build only: the operating-system name reported in place of \"Linux\"")

option(VANTREL_BUILD_TESTS "Build the tests and the test tools" OFF)

if(NOT VANTREL_LANGUAGE MATCHES "^(cn|en)$")
    message(FATAL_ERROR "VANTREL_LANGUAGE must be cn or en, not '${VANTREL_LANGUAGE}'")
endif()

foreach(host_variable VANTREL_WIN10_HOST VANTREL_WIN7_HOST)
    if(NOT ${host_variable} MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]+)?$")
        message(FATAL_ERROR "${host_variable} must be a host name with an optional :port, not '${${host_variable}}'")
    endif()
endforeach()
