// Force-included into the JUCE module .cpp files of the 32-bit MinGW build: for JUCE_MINGW && JUCE_32BIT,
// juce_win32_ComSmartPtr.h swaps __uuidof for its own emulation, which fails to compile with GCC 12 and would
// give all-zero GUIDs anyway. Without JUCE_32BIT it uses MinGW's __mingw_uuidof like the 64-bit build.
// Nothing else in the modules we build depends on JUCE_32BIT (JUCE_64BIT stays undefined).
#pragma once

#include <juce_core/system/juce_TargetPlatform.h>

#if JUCE_MINGW && JUCE_32BIT
 #undef JUCE_32BIT
#endif
