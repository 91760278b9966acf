#include "number_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{
    // The text as it is written, cut off after maxLength characters as the framework's buffer cuts it.
    struct Output
    {
        char* dest;
        size_t length = 0;

        bool isFull() const noexcept    { return length == NumberText::maxLength; }

        void add (char c) noexcept
        {
            if (! isFull())
                dest[length++] = c;
        }

        void add (const char* text) noexcept
        {
            while (*text != 0)
                add (*text++);
        }
    };

    // Every decimal digit of mantissa * 2^exponent (a double has at most 767 significant ones),
    // without trailing zeros: the value is 0.d1d2d3... * 10^pointPosition; no digits is zero.
    struct ExactDigits
    {
        ExactDigits (uint64_t mantissa, int exponent) noexcept
        {
            // The integer mantissa * 2^exponent, or mantissa * 5^-exponent with -exponent decimal
            // places, in base 10^9, least significant limb first.
            constexpr uint32_t limbBase = 1000000000;
            uint32_t limbs[90];
            int numLimbs = 0;

            for (; mantissa != 0 && (mantissa & 1) == 0; mantissa >>= 1)
                ++exponent;

            for (; mantissa != 0; mantissa /= limbBase)
                limbs[numLimbs++] = (uint32_t) (mantissa % limbBase);

            auto multiply = [&] (uint32_t factor)
            {
                uint64_t carry = 0;

                for (int i = 0; i < numLimbs; ++i)
                {
                    carry += (uint64_t) limbs[i] * factor;
                    limbs[i] = (uint32_t) (carry % limbBase);
                    carry /= limbBase;
                }

                for (; carry != 0; carry /= limbBase)
                    limbs[numLimbs++] = (uint32_t) (carry % limbBase);
            };

            for (auto n = exponent; n > 0; n -= 31)
                multiply ((uint32_t) 1 << std::min (n, 31));

            for (auto n = -exponent; n > 0; n -= 13)
            {
                uint32_t power = 1;

                for (int i = std::min (n, 13); --i >= 0;)
                    power *= 5;

                multiply (power);
            }

            // Nine digits a limb, then the leading zeros of the most significant one dropped.
            for (int i = numLimbs; --i >= 0; numDigits += 9)
            {
                auto limb = limbs[i];

                for (int place = 9; --place >= 0; limb /= 10)
                    digits[numDigits + place] = (char) ('0' + limb % 10);
            }

            int leadingZeros = 0;

            while (leadingZeros < numDigits && digits[leadingZeros] == '0')
                ++leadingZeros;

            numDigits -= leadingZeros;
            std::memmove (digits, digits + leadingZeros, (size_t) numDigits);

            // Zero is placed as a single 0 before the point.
            pointPosition = numDigits > 0 ? numDigits - std::max (0, -exponent) : 1;
            trimTrailingZeros();
        }

        char get (int index) const noexcept
        {
            return index >= 0 && index < numDigits ? digits[index] : '0';
        }

        // Keeps the first `kept` digits, rounding to nearest and a tie to the even digit; with
        // none kept the value becomes zero, or a single 1 one place up when it rounds up.
        void roundTo (int kept) noexcept
        {
            if (kept >= numDigits)
                return;

            if (kept < 0)
            {
                numDigits = 0;
                return;
            }

            const auto next = digits[kept];
            const auto roundUp = next > '5'
                                   || (next == '5' && (numDigits > kept + 1 || (kept > 0 && (digits[kept - 1] & 1) != 0)));
            numDigits = kept;

            if (roundUp)
            {
                while (numDigits > 0 && digits[numDigits - 1] == '9')
                    --numDigits;

                if (numDigits == 0)
                {
                    digits[numDigits++] = '1';
                    ++pointPosition;
                }
                else
                {
                    ++digits[numDigits - 1];
                }
            }

            trimTrailingZeros();
        }

        void trimTrailingZeros() noexcept
        {
            while (numDigits > 0 && digits[numDigits - 1] == '0')
                --numDigits;
        }

        char digits[810];
        int numDigits = 0;
        int pointPosition = 0;
    };

    void writeFixed (Output& out, const ExactDigits& number, int places) noexcept
    {
        if (number.pointPosition <= 0)
            out.add ('0');

        for (int i = 0; i < number.pointPosition && ! out.isFull(); ++i)
            out.add (number.get (i));

        if (places > 0)
            out.add ('.');

        for (int i = 0; i < places && ! out.isFull(); ++i)
            out.add (number.get (number.pointPosition + i));
    }

    void writeScientific (Output& out, const ExactDigits& number, int places) noexcept
    {
        out.add (number.get (0));

        if (places > 0)
            out.add ('.');

        for (int i = 1; i <= places && ! out.isFull(); ++i)
            out.add (number.get (i));

        const auto exponent = number.numDigits > 0 ? number.pointPosition - 1 : 0;
        const auto magnitude = std::abs (exponent);
        out.add ('e');
        out.add (exponent < 0 ? '-' : '+');

        if (magnitude >= 100)
            out.add ((char) ('0' + magnitude / 100));

        out.add ((char) ('0' + magnitude / 10 % 10));
        out.add ((char) ('0' + magnitude % 10));
    }
}

size_t NumberText::write (char* dest, double number, int numberOfDecimalPlaces, bool useScientificNotation) noexcept
{
    Output out { dest };

    uint64_t bits;
    std::memcpy (&bits, &number, sizeof (bits));
    const auto negative = (bits >> 63) != 0;
    const auto biasedExponent = (int) ((bits >> 52) & 0x7ff);
    auto mantissa = bits & ((uint64_t (1) << 52) - 1);

    if (biasedExponent == 0x7ff)
    {
       #if JUCE_WINDOWS
        const auto signShown = negative && mantissa == 0;
       #else
        const auto signShown = negative;
       #endif

        if (signShown)
            out.add ('-');

        out.add (mantissa == 0 ? "inf" : "nan");
        return out.length;
    }

    if (negative)
        out.add ('-');

    if (biasedExponent != 0)
        mantissa |= uint64_t (1) << 52;

    ExactDigits digits (mantissa, std::max (biasedExponent, 1) - 1075);

    if (numberOfDecimalPlaces > 0)
    {
        // Places past the exact value's last digit (at most 1,074 decimals) change nothing.
        const auto places = std::min (numberOfDecimalPlaces, 1100);

        if (useScientificNotation)
        {
            digits.roundTo (places + 1);
            writeScientific (out, digits, places);
        }
        else
        {
            digits.roundTo (digits.pointPosition + places);
            writeFixed (out, digits, places);
        }

        return out.length;
    }

    // "%g": 6 significant digits, in scientific notation when the exponent is below -4 or 6 and
    // more, and no trailing zeros (the digits have none).
    constexpr int significantDigits = 6;
    digits.roundTo (significantDigits);
    const auto exponent = digits.numDigits > 0 ? digits.pointPosition - 1 : 0;

    if (exponent >= -4 && exponent < significantDigits)
        writeFixed (out, digits, std::max (0, digits.numDigits - digits.pointPosition));
    else
        writeScientific (out, digits, std::max (0, digits.numDigits - 1));

    return out.length;
}
