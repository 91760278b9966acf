// The Windows executable makes the framework's float and double String text with NumberText
// (cmake/windows-compat): here the two are compared over a large table, so that a framework or
// toolchain upgrade that changes either shows at once.
#include "cmake/windows-compat/number_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace
{
    struct NumberCase
    {
        double number;
        int places;        // 0: String (number), the default text
        bool scientific;
    };

    std::vector<NumberCase> numberCases()
    {
        std::vector<NumberCase> cases;
        const auto addAllForms = [&] (double n, std::initializer_list<int> placesList)
        {
            cases.push_back ({ n, 0, false });

            for (auto places : placesList)
                for (auto scientific : { false, true })
                    cases.push_back ({ n, places, scientific });
        };

        const auto inf = std::numeric_limits<double>::infinity();
        const auto nan = std::numeric_limits<double>::quiet_NaN();
        const double special[] = { 0.0, -0.0, inf, -inf, nan, -nan, DBL_MAX, -DBL_MAX, DBL_MIN, DBL_TRUE_MIN,
                                   -DBL_TRUE_MIN, DBL_MIN - DBL_TRUE_MIN, FLT_MAX, FLT_MIN, DBL_EPSILON, 1.0, -1.0,
                                   0.1, 1.0 / 3.0, 2.0 / 3.0, 1e-5, 9.99999e-5, 1e-4, 99999.95, 999999.5, 1e15, 1e16,
                                   1e17, 1e22, 1e23, 123456789012345678.0, 5e-324, 1e-320, 1e300, 1e308 };

        // Every precision up to 60, then up to 2,000: the 48-character cut-off, and digits beyond
        // the exact value's last one.
        for (auto n : special)
        {
            for (int places = 1; places <= 60; ++places)
                addAllForms (n, { places });

            addAllForms (n, { 100, 300, 308, 309, 310, 500, 767, 1000, 1074, 1075, 1100, 2000 });
        }

        // Exact ties: odd multiples of 2^-k have k decimals ending in 5, rounded at every place.
        for (int k = 1; k <= 24; ++k)
            for (int odd = 1; odd < 400; odd += 2)
            {
                const auto n = std::ldexp ((double) odd, -k);

                for (auto scale : { 1.0, 1024.0, -1.0 })
                    addAllForms (n * scale, { 1, 2, 3, 4, 5, 6, 8, 10, 12, k - 1, k, k + 1 });
            }

        // Every progress value from 0 to 1 in steps of 10^-5, as the bar's accessible value shows it.
        for (int i = 0; i <= 100000; ++i)
            addAllForms (i / 100000.0, { 2, 3 });

        // Random doubles (every exponent) and random decimals, from a fixed seed.
        std::mt19937_64 random (20240607);

        for (int i = 0; i < 100000; ++i)
        {
            const auto bits = random();
            double n;
            std::memcpy (&n, &bits, sizeof (n));
            addAllForms (n, { 1 + (int) (random() % (i % 8 == 0 ? 400 : 60)) });

            const auto decimal = (double) (random() % 10000000) / std::pow (10.0, (double) (random() % 16) - 4.0);
            addAllForms (decimal, { 1 + (int) (random() % 20) });
        }

        return cases;
    }

    // Compares every case with the framework's own String constructors; returns the mismatches.
    juce::StringArray mismatches (const std::vector<NumberCase>& cases)
    {
        juce::StringArray found;

        for (const auto& c : cases)
        {
            const auto ours = NumberText::toString (c.number, c.places, c.scientific);
            const auto theirs = c.places == 0 ? juce::String (c.number) : juce::String (c.number, c.places, c.scientific);
            const auto single = (float) c.number;
            const auto oursFromFloat = NumberText::toString (single, c.places, c.scientific);
            const auto theirsFromFloat = c.places == 0 ? juce::String (single) : juce::String (single, c.places, c.scientific);

            if (ours != theirs || oursFromFloat != theirsFromFloat)
                found.add (juce::String::toHexString (&c.number, sizeof (c.number)) + " places " + juce::String (c.places)
                           + (c.scientific ? " scientific: " : ": ") + ours + " | " + theirs + " (float: "
                           + oursFromFloat + " | " + theirsFromFloat + ")");

            if (found.size() == 20)
                break;
        }

        return found;
    }

    // Sets a German C locale: the machine's, or else one made into `folder` from glibc's locale
    // sources (Debian's locales package), found there through LOCPATH.
    bool setGermanLocale (const juce::File& folder)
    {
        for (auto* name : { "de_DE.UTF-8", "de_DE.utf8", "de_DE" })
            if (std::setlocale (LC_ALL, name) != nullptr)
                return true;

        juce::ChildProcess localedef;

        if (! localedef.start (juce::StringArray { "localedef", "-i", "de_DE", "-f", "UTF-8",
                                                   folder.getChildFile ("de_DE.UTF-8").getFullPathName() }, 0)
             || ! localedef.waitForProcessToFinish (60000))
            return false;

        setenv ("LOCPATH", folder.getFullPathName().toRawUTF8(), 1);
        return std::setlocale (LC_ALL, "de_DE.UTF-8") != nullptr;
    }
}

TEST (NumberText, GivesTheFrameworksTextForEveryNumberInTheTable)
{
    const auto cases = numberCases();
    ASSERT_GT (cases.size(), (size_t) 1000000);

    EXPECT_EQ (mismatches (cases).joinIntoString ("\n"), juce::String());
    RecordProperty ("cases", (int) cases.size());
}

TEST (NumberText, GivesTheFrameworksTextUnderAGermanCLocale)
{
    const juce::String previous (std::setlocale (LC_ALL, nullptr));
    const auto previousPath = juce::SystemStats::getEnvironmentVariable ("LOCPATH", {});
    const juce::TemporaryFile folder;
    ASSERT_TRUE (folder.getFile().createDirectory());
    const auto german = setGermanLocale (folder.getFile());

    char printed[16];
    std::snprintf (printed, sizeof (printed), "%g", 0.5);
    const auto found = german ? mismatches (numberCases()).joinIntoString ("\n") : juce::String();
    std::setlocale (LC_ALL, previous.toRawUTF8());

    if (previousPath.isEmpty())
        unsetenv ("LOCPATH");
    else
        setenv ("LOCPATH", previousPath.toRawUTF8(), 1);

    folder.getFile().deleteRecursively();

    if (! german)
        GTEST_SKIP() << "no German locale here, and none could be made (localedef and Debian's locales package)";

    EXPECT_STREQ (printed, "0,5");   // the locale is in force: the C library would write a comma
    EXPECT_EQ (found, juce::String());
}
