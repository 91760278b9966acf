# What the framework needs to cross-compile for 32-bit Windows with MinGW-w64: the i686 image
# libraries (scripts/build-windows-deps), two work-arounds applied from the build side only,
# the system libraries it imports and a fully static link.

find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)
find_package(ZLIB REQUIRED)

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

# version, winmm, wininet and dxgi: delay-loaded in the clang build (cmake/WindowsSize.cmake).
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
