# What the framework needs to cross-compile for 32-bit Windows with MinGW-w64: the i686 image
# libraries (scripts/build-windows-deps), two work-arounds applied from the build side only,
# the system libraries it imports and a fully static link.

# zlib: the one scripts/build-windows-deps builds for size, not MinGW-w64's (built without a
# section per function, so that nothing of it can be dropped), which a search would find first.
# Set before the image libraries, whose search looks for zlib too.
set(ZLIB_INCLUDE_DIR "${MINGW_DEPS_PREFIX}/include")
set(ZLIB_LIBRARY_RELEASE "${MINGW_DEPS_PREFIX}/lib/libz.a")
set(ZLIB_LIBRARY "${ZLIB_LIBRARY_RELEASE}")
if(NOT EXISTS "${ZLIB_LIBRARY}")
    message(FATAL_ERROR "${ZLIB_LIBRARY} is missing: run scripts/build-windows-deps")
endif()
find_package(ZLIB REQUIRED)
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)

set(vantrel_windows_compat "${CMAKE_CURRENT_LIST_DIR}/windows-compat")

# Before the image libraries' headers: the forwarding jpeglib.h declares the `boolean` the
# framework's JPEG loader expects.
target_include_directories(vantrel_framework BEFORE PRIVATE "${vantrel_windows_compat}")

# The framework's own __uuidof emulation for 32-bit MinGW does not compile with GCC 12: the
# prefix header sends the module sources down the working 64-bit MinGW path.
target_compile_options(vantrel_framework PRIVATE
    -include "${vantrel_windows_compat}/juce_mingw32_prefix.h")

# Compiled into each executable that links the framework: they take the place of library code the
# program never reaches (see the files).
target_sources(vantrel_framework INTERFACE
    "${vantrel_windows_compat}/terminate_handler.cpp"
    "${vantrel_windows_compat}/image_encoders_left_out.c")
set(vantrel_left_out_encoder_calls
    jpeg_CreateCompress jpeg_set_defaults jpeg_set_quality jpeg_start_compress jpeg_write_scanlines
    jpeg_finish_compress jpeg_destroy_compress
    png_create_write_struct png_destroy_write_struct png_set_write_fn png_write_info png_write_rows png_write_end)
list(TRANSFORM vantrel_left_out_encoder_calls PREPEND "-Wl,--wrap=")
target_link_options(vantrel_framework INTERFACE ${vantrel_left_out_encoder_calls})

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_sources(vantrel_framework PRIVATE "${vantrel_windows_compat}/clang_get_tzname.c")
endif()

# The installer executables of the clang build with link-time optimisation (Installer.cmake calls
# this for each): libstdc++'s standard streams and locale left out, about 400 KB (docs/size.md).
# The framework's float and double String constructors, the only part of it the program reaches
# that writes through a stream, are sent to our own formatter (--wrap), the streams' start-up is
# empty, and the stream and locale functions the framework still names before link-time
# optimisation have stand-ins that keep libstdc++'s from being loaded. After the link a check
# fails the build if any of that is in the file. Not for the other programs (the test probes use
# the standard streams), nor for the GCC fallback: without LTO the stand-ins would stay, and GNU
# ld's --wrap does not redirect the calls made within the framework's core module.
set_source_files_properties("${vantrel_windows_compat}/stream_stand_ins.c" PROPERTIES COMPILE_OPTIONS -fno-lto)
find_program(VANTREL_MINGW_NM ${MINGW_TRIPLE}-nm REQUIRED)

function(vantrel_leave_out_standard_streams target)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT VANTREL_LTO)
        return()
    endif()
    set(compat "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/windows-compat")
    target_sources(${target} PRIVATE
        "${compat}/number_text.cpp"
        "${compat}/string_from_number.cpp"
        "${compat}/standard_streams_left_out.cpp"
        "${compat}/stream_stand_ins.c")
    foreach(number f d fib dib)
        target_link_options(${target} PRIVATE
            "-Wl,--wrap=_ZN4juce6StringC1E${number}" "-Wl,--wrap=_ZN4juce6StringC2E${number}")
    endforeach()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${CMAKE_COMMAND}" "-DEXECUTABLE=$<TARGET_FILE:${target}>" "-DNM=${VANTREL_MINGW_NM}"
            "-DSTAND_INS=${compat}/stream_stand_ins.c" -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/CheckLeftOut.cmake"
        COMMENT "Checking that $<TARGET_FILE_NAME:${target}> holds no standard stream, locale or stand-in"
        VERBATIM)
endfunction()

# The framework's own DLLs that are not KnownDLLs; the clang build delay-loads them with the
# signature check's two (the list: cmake/WindowsSize.cmake, explained in docs/toolchain.md).
if(VANTREL_DELAY_LOAD_LIBRARIES)
    set(vantrel_late_dlls ${VANTREL_DELAY_LOAD_LIBRARIES})
else()
    set(vantrel_late_dlls version winmm wininet dxgi)
endif()
target_link_libraries(vantrel_framework PUBLIC
    PNG::PNG JPEG::JPEG ZLIB::ZLIB
    ${vantrel_late_dlls} ws2_32 shlwapi imm32 ole32 oleaut32 uuid)

# One self-contained executable: no MinGW run-time DLLs next to it.
target_link_options(vantrel_framework INTERFACE -static -static-libgcc -static-libstdc++)
