# Size: a download stub should be small (the measured steps and what each bought are in
# docs/size.md).
#
# Both compilers: functions and data in sections of their own, so that the linker drops what the
# program never uses; and the data, drawing and window modules, which never need to unwind an
# exception, without exception tables (juce_core and juce_events use exceptions and keep them).
#
# clang + lld (the product): -Oz, link-time optimisation over the framework and the program,
# identical code folding, and the libraries that are not KnownDLLs (version, wininet, winmm,
# dxgi, and wintrust and crypt32 for the signature check) delay-loaded by lld, so that the import
# table lists only KnownDLLs; the program restricts run-time loading to System32 before
# anything runs (platform/windows/DllSearchHardening.cpp), so they come from there. GCC 12 stops
# with an internal compiler error under LTO on the framework's sources, and binutils' delay-load
# libraries break winmm: the GCC build has neither.

add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)

set_source_files_properties(
    "${VANTREL_JUCE_MODULES_DIR}/juce_data_structures/juce_data_structures.cpp"
    "${VANTREL_JUCE_MODULES_DIR}/juce_graphics/juce_graphics.cpp"
    "${VANTREL_JUCE_MODULES_DIR}/juce_gui_basics/juce_gui_basics.cpp"
    PROPERTIES COMPILE_OPTIONS "-fno-exceptions;-fno-asynchronous-unwind-tables")

set(VANTREL_DELAY_LOADED_DLLS version.dll wininet.dll winmm.dll dxgi.dll wintrust.dll crypt32.dll)

# The goal for the file as it ships (stripped and signed): 1.2 MiB. The executable test and the
# bench read it here (tests/harness/facts.py).
set(VANTREL_SIZE_GOAL_BYTES 1258291)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    option(VANTREL_LTO "clang build: link-time optimisation and identical code folding" ON)
    option(VANTREL_DELAY_LOAD "clang build: delay-load version, wininet, winmm, dxgi, wintrust and crypt32 (lld)" ON)

    # No -g: with it, LTO gives every function DWARF call-frame information in .eh_frame
    # (+140 KB in the file). The symbols file keeps the symbol table.
    add_compile_options($<$<CONFIG:MinSizeRel>:-Oz>)
    if(VANTREL_LTO)
        add_compile_options(-flto)
        # The code generation at link time must use emulated thread-locals too (see the toolchain).
        add_link_options(-flto -Wl,--icf=all -Wl,-mllvm,-emulated-tls)
    endif()
    if(VANTREL_DELAY_LOAD)
        # lld delay-loads only from LLVM-style (short) import libraries; MinGW-w64's are binutils
        # ones. So each gets an LLVM twin, made here from the exports the MinGW one lists.
        find_program(VANTREL_MINGW_NM ${MINGW_TRIPLE}-nm REQUIRED)
        find_program(VANTREL_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
        set(delay_dir "${CMAKE_BINARY_DIR}/delayload")
        file(MAKE_DIRECTORY "${delay_dir}")
        foreach(dll IN LISTS VANTREL_DELAY_LOADED_DLLS)
            get_filename_component(name "${dll}" NAME_WE)
            find_library(VANTREL_MINGW_IMPORT_${name} ${name} REQUIRED NO_CACHE)
            execute_process(COMMAND "${VANTREL_MINGW_NM}" "${VANTREL_MINGW_IMPORT_${name}}"
                OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
            string(REGEX MATCHALL "I __imp__[^\r\n]+" imports "${symbols}")
            list(TRANSFORM imports REPLACE "^I __imp__" "")
            list(REMOVE_DUPLICATES imports)
            list(JOIN imports "\n" exports)
            file(WRITE "${delay_dir}/${name}.def" "LIBRARY ${dll}\nEXPORTS\n${exports}\n")
            execute_process(COMMAND "${VANTREL_LLVM_DLLTOOL}" -m i386 -k -d "${delay_dir}/${name}.def"
                -l "${delay_dir}/lib${name}.a" COMMAND_ERROR_IS_FATAL ANY)
            list(APPEND VANTREL_DELAY_LOAD_LIBRARIES "${delay_dir}/lib${name}.a")
            add_link_options(-Wl,--delayload=${dll})
        endforeach()
    endif()
endif()

# Where the bytes go (bench/linkmap.py reads lld's map): maps/<target>.map.
option(VANTREL_LINK_MAP "Write a link map of each target into <build>/maps" OFF)
if(VANTREL_LINK_MAP)
    file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/maps")
    add_link_options("-Wl,-Map=${CMAKE_BINARY_DIR}/maps/$<TARGET_PROPERTY:NAME>.map")
endif()
