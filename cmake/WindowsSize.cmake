# Size: a download stub should stay small (about 5.4 MiB for a plain static build, under 3 MiB
# with this). Functions and data in sections of their own, so that the linker drops what the
# program never uses; and the data, drawing and window modules, which never need to unwind an
# exception, without exception tables (juce_core and juce_events use exceptions and keep them).

add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)

set_source_files_properties(
    "${VANTREL_JUCE_MODULES_DIR}/juce_data_structures/juce_data_structures.cpp"
    "${VANTREL_JUCE_MODULES_DIR}/juce_graphics/juce_graphics.cpp"
    "${VANTREL_JUCE_MODULES_DIR}/juce_gui_basics/juce_gui_basics.cpp"
    PROPERTIES COMPILE_OPTIONS "-fno-exceptions;-fno-asynchronous-unwind-tables")
