# Strict warnings for our own targets only: the framework's sources raise dozens of their own.

function(vantrel_strict_warnings target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE
            -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
            -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align -Wnull-dereference
            -Wunused -Wformat=2 -Werror)
    endif()
endfunction()
