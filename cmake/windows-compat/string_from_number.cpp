// The installer executables of the clang build (cmake/WindowsFramework.cmake): the framework's
// float and double String constructors write the number through a std::ostream, and that alone
// links libstdc++'s streams and its whole locale (the classic locale and every facet for char and
// wchar_t) into the executable. The linker sends every call of those constructors here (--wrap),
// and NumberText makes the same text without a stream (tests/unit/NumberTextTests.cpp compares
// the two).
#include "number_text.h"

#include <new>

namespace
{
    void makeText (juce::String* text, double number, int places, bool scientific)
    {
        new (text) juce::String (NumberText::toString (number, places, scientific));
    }
}

// Constructors are member functions: thiscall, the String being made in ECX. Each constructor
// has two symbols, the complete-object (C1) and the base-object (C2) one.
#define VANTREL_THISCALL __attribute__ ((thiscall))

extern "C"
{
    void VANTREL_THISCALL __wrap__ZN4juce6StringC1Ef (juce::String* t, float n)     { makeText (t, n, 0, false); }
    void VANTREL_THISCALL __wrap__ZN4juce6StringC2Ef (juce::String* t, float n)     { makeText (t, n, 0, false); }
    void VANTREL_THISCALL __wrap__ZN4juce6StringC1Ed (juce::String* t, double n)    { makeText (t, n, 0, false); }
    void VANTREL_THISCALL __wrap__ZN4juce6StringC2Ed (juce::String* t, double n)    { makeText (t, n, 0, false); }

    void VANTREL_THISCALL __wrap__ZN4juce6StringC1Efib (juce::String* t, float n, int places, bool scientific)   { makeText (t, n, places, scientific); }
    void VANTREL_THISCALL __wrap__ZN4juce6StringC2Efib (juce::String* t, float n, int places, bool scientific)   { makeText (t, n, places, scientific); }
    void VANTREL_THISCALL __wrap__ZN4juce6StringC1Edib (juce::String* t, double n, int places, bool scientific)  { makeText (t, n, places, scientific); }
    void VANTREL_THISCALL __wrap__ZN4juce6StringC2Edib (juce::String* t, double n, int places, bool scientific)  { makeText (t, n, places, scientific); }
}
