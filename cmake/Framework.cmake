# The five framework modules (the core alone for the fuzzers), compiled once per build into one static library that the
# program and every test link (a second compile of the framework costs minutes).

set(VANTREL_JUCE_MODULES_DIR "/usr/share/juce/modules" CACHE PATH "Folder holding the framework's modules")
set(vantrel_juce_modules juce_core juce_events juce_data_structures juce_graphics juce_gui_basics)
# The fuzzers' build holds the rules floor alone, which needs the core module only.
if(VANTREL_BUILD_FUZZERS)
    set(vantrel_juce_modules juce_core)
endif()

if(NOT EXISTS "${VANTREL_JUCE_MODULES_DIR}/juce_core/juce_core.h")
    message(FATAL_ERROR "The framework's modules are not in ${VANTREL_JUCE_MODULES_DIR} (scripts/setup installs juce-modules-source)")
endif()

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/WindowsSize.cmake)
endif()

set(vantrel_juce_sources)
foreach(module IN LISTS vantrel_juce_modules)
    list(APPEND vantrel_juce_sources "${VANTREL_JUCE_MODULES_DIR}/${module}/${module}.cpp")
endforeach()

add_library(vantrel_framework STATIC ${vantrel_juce_sources})
target_include_directories(vantrel_framework SYSTEM PUBLIC "${VANTREL_JUCE_MODULES_DIR}")

foreach(module IN LISTS vantrel_juce_modules)
    target_compile_definitions(vantrel_framework PUBLIC JUCE_MODULE_AVAILABLE_${module}=1)
endforeach()

# Features switched off in one place. Turning one back on needs its libraries linked below.
target_compile_definitions(vantrel_framework PUBLIC
    JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
    JUCE_STANDALONE_APPLICATION=1
    # The project is GPL-3.0-or-later, which is what the framework asks for to drop its splash screen.
    JUCE_DISPLAY_SPLASH_SCREEN=0
    JUCE_WEB_BROWSER=0
    # Downloads on Linux go through our own layer over libcurl, not the framework's curl code.
    JUCE_USE_CURL=0
    JUCE_USE_DIRECTWRITE=0
    $<IF:$<CONFIG:Debug>,DEBUG=1;_DEBUG=1,NDEBUG=1>)

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/WindowsFramework.cmake)
    include(${CMAKE_CURRENT_LIST_DIR}/WindowsResources.cmake)
    include(${CMAKE_CURRENT_LIST_DIR}/WindowsRelease.cmake)
elseif(VANTREL_BUILD_FUZZERS)
    find_package(ZLIB REQUIRED)
    find_package(Threads REQUIRED)
    target_link_libraries(vantrel_framework PUBLIC ZLIB::ZLIB Threads::Threads ${CMAKE_DL_LIBS} rt)
else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(VANTREL_FREETYPE REQUIRED IMPORTED_TARGET freetype2)
    find_package(PNG REQUIRED)
    find_package(JPEG REQUIRED)
    find_package(ZLIB REQUIRED)
    find_package(Threads REQUIRED)
    target_link_libraries(vantrel_framework PUBLIC
        PkgConfig::VANTREL_FREETYPE PNG::PNG JPEG::JPEG ZLIB::ZLIB Threads::Threads ${CMAKE_DL_LIBS} rt)
endif()
