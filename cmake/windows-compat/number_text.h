#pragma once

#include <juce_core/juce_core.h>

/** The text of a floating-point number exactly as the framework's String (double) and
    String (double, numberOfDecimalPlaces, useScientificNotation) make it, without a C++ stream or
    locale: in the Windows executable it takes the place of those constructors (see
    string_from_number.cpp), so that libstdc++'s streams and locale facets are never linked in.

    The framework writes the number through a std::ostream into a 48-character buffer: with no
    decimal places asked for, as printf's "%g" (6 significant digits, trailing zeros dropped);
    otherwise as "%.*e" or "%.*f"; always with a "." (the stream has the classic locale and
    libstdc++ formats in the "C" locale), cut off after 48 characters. This writes the same digits
    from the number's exact binary value, rounding a tie to the even digit as the C library does.
    Infinity is "inf" and NaN "nan"; a NaN with its sign bit set is "-nan" where glibc prints it
    so (Linux), and "nan" where MinGW-w64's printf drops the sign (Windows).
*/
struct NumberText
{
    static constexpr size_t maxLength = 48;

    /** Writes the text into dest (room for maxLength characters, no terminating null); returns
        its length. */
    static size_t write (char* dest, double number, int numberOfDecimalPlaces, bool useScientificNotation) noexcept;

    static juce::String toString (double number, int numberOfDecimalPlaces = 0, bool useScientificNotation = false)
    {
        char text[maxLength];
        return { text, write (text, number, numberOfDecimalPlaces, useScientificNotation) };
    }
};
