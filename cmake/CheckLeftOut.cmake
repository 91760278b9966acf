# Run after each link of an installer executable in the clang build (cmake/WindowsFramework.cmake),
# before it is stripped: fails the build when anything of libstdc++'s standard streams or locale
# is in the file, that is a stand-in of windows-compat/stream_stand_ins.c (each one ends the
# process when called; the list is read from that file), the classic locale or
# std::ios_base::Init. The executable is then removed, so that the next build links it again.
#
#   cmake -DEXECUTABLE=<exe> -DNM=<nm> -DSTAND_INS=<stream_stand_ins.c> -P CheckLeftOut.cmake

foreach(variable EXECUTABLE NM STAND_INS)
    if(NOT ${variable})
        message(FATAL_ERROR "CheckLeftOut.cmake: ${variable} not given")
    endif()
endforeach()

file(STRINGS "${STAND_INS}" stand_in_lines REGEX "^STAND_IN \\(")
set(forbidden)
foreach(line IN LISTS stand_in_lines)
    string(REGEX REPLACE ".*\"(_Z[A-Za-z0-9_]+)\".*" "_\\1" symbol "${line}")
    list(APPEND forbidden "${symbol}")
endforeach()
if(NOT forbidden)
    message(FATAL_ERROR "CheckLeftOut.cmake: no stand-ins found in ${STAND_INS}")
endif()
# i386 names (a leading underscore): std::locale::classic() and its object, std::ios_base::Init's
# members.
list(APPEND forbidden __ZNSt6locale7classicEv __ZNSt6locale10_S_classicE "__ZNSt8ios_base4Init[A-Za-z0-9_]*")

execute_process(COMMAND "${NM}" "${EXECUTABLE}" OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(found)
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" name "${line}")
    foreach(pattern IN LISTS forbidden)
        if(name MATCHES "^${pattern}$")
            list(APPEND found "${name}")
        endif()
    endforeach()
endforeach()

if(found)
    list(REMOVE_DUPLICATES found)
    list(JOIN found "\n  " names)
    file(REMOVE "${EXECUTABLE}")
    message(FATAL_ERROR "${EXECUTABLE} holds libstdc++'s streams or locale, or a stand-in that ends "
        "the process (cmake/windows-compat/stream_stand_ins.c); something new uses a standard stream "
        "or formats through one:\n  ${names}\n(the executable was removed)")
endif()
