#include "download/BuildTable.h"
#include "download/DownloadVariant.h"

#include <gtest/gtest.h>

#include <ostream>

namespace
{
    struct VariantCase
    {
        const char* operatingSystem;
        const char* language;
        const char* expectedKey;
        const char* expectedAddress;   // empty: no build for this system
    };

    // Printed (and so named in ctest) by system and language, not as bytes that change per build.
    void PrintTo (const VariantCase& c, std::ostream* os)
    {
        *os << c.operatingSystem << ", " << c.language;
    }

    const VariantCase variantCases[] = {
        { "Windows 10",    "cn", "wincn",  "https://first.test:8443/VantrelInstall_winCN.exe" },
        { "Windows 10",    "en", "winen",  "https://first.test:8443/VantrelInstall_winEN.exe" },
        { "Windows 11",    "cn", "wincn",  "https://first.test:8443/VantrelInstall_winCN.exe" },
        { "Windows 11",    "en", "winen",  "https://first.test:8443/VantrelInstall_winEN.exe" },
        { "Windows 7",     "cn", "win7cn", "https://second.test/VantrelInstall_winCN.exe" },
        { "Windows 7",     "en", "win7en", "https://second.test/VantrelInstall_winEN.exe" },
        { "Windows 8.1",   "cn", "maccn",  "" },
        { "Windows 8.0",   "en", "macen",  "" },
        { "Windows Vista", "cn", "maccn",  "" },
        { "Windows XP",    "en", "macen",  "" },
        { "Linux",         "cn", "maccn",  "" },
        { "Unknown OS",    "en", "macen",  "" },
        // Case-sensitive substring tests, "Windows 1" first.
        { "windows 10",    "cn", "maccn",  "" },
        { "Windows 2000",  "cn", "maccn",  "" },
    };

    class VariantTable : public ::testing::TestWithParam<VariantCase> {};
}

TEST_P (VariantTable, ChoosesKeyAndAddressForTheSystemAndLanguage)
{
    const auto& c = GetParam();
    const InstallerSettings settings { c.operatingSystem, c.language, { { "win10", "first.test:8443" }, { "win7", "second.test" } } };

    const auto key = DownloadVariant::getVariantKey (settings);
    EXPECT_EQ (key, juce::String (c.expectedKey));
    EXPECT_EQ (DownloadVariant::getDownloadAddress (key, settings), juce::String (c.expectedAddress));
}

INSTANTIATE_TEST_SUITE_P (Systems, VariantTable, ::testing::ValuesIn (variantCases));

TEST (StatusTexts, ChineseForCnKeysEnglishOtherwise)
{
    using namespace DownloadVariant;

    EXPECT_EQ (getServerErrorText ("wincn"), juce::String (juce::CharPointer_UTF8 ("\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x99\xa8\xe5\xbc\x82\xe5\xb8\xb8!")));
    EXPECT_EQ (getNetworkFailureText ("win7cn"),
               juce::String (juce::CharPointer_UTF8 ("\xe7\xbd\x91\xe7\xbb\x9c\xe5\xbc\x82\xe5\xb8\xb8! \xe6\xad\xa3\xe5\x9c\xa8\xe5\xb0\x9d\xe8\xaf\x95\xe8\xbf\x9e\xe6\x8e\xa5\xe4\xb8\xad...")));
    EXPECT_EQ (getServerErrorText ("winen"), juce::String ("Server error!"));
    EXPECT_EQ (getNetworkFailureText ("macen"), juce::String ("Network anomaly! We're attempting to reconnect..."));
    EXPECT_EQ (getServerErrorText ("maccn"), getServerErrorText ("wincn"));
}

namespace
{
    struct UnknownKeyCase
    {
        const char* variantKey;
        const char* why;
    };

    void PrintTo (const UnknownKeyCase& c, std::ostream* os)
    {
        *os << c.variantKey;
    }

    // Keys that name no language of the table, though "cn" is in each.
    const UnknownKeyCase unknownKeyCases[] = {
        { "wincnr", "a language whose code starts with cn (cnr)" },
        { "cnwinen", "cn before the platform tag" },
        { "win7cnen", "cn in the middle" },
    };

    class UnknownKeys : public ::testing::TestWithParam<UnknownKeyCase> {};
}

TEST_P (UnknownKeys, ShowEnglishAndHaveNoAddress)
{
    using namespace DownloadVariant;
    const auto& c = GetParam();
    SCOPED_TRACE (c.why);
    const InstallerSettings settings { "Windows 10", "cn", { { "win10", "first.test" }, { "win7", "second.test" } } };

    EXPECT_EQ (getServerErrorText (c.variantKey), juce::String ("Server error!"));
    EXPECT_EQ (getNetworkFailureText (c.variantKey), juce::String ("Network anomaly! We're attempting to reconnect..."));
    EXPECT_EQ (getDownloadAddress (c.variantKey, settings), juce::String());
}

INSTANTIATE_TEST_SUITE_P (NoLanguage, UnknownKeys, ::testing::ValuesIn (unknownKeyCases));

// Every row of the build table: the system its host serves gets the host's tag, each language its
// file on that host and its own texts.
TEST (BuildTableRows, EachHostAndLanguageGivesItsAddressAndTexts)
{
    using namespace DownloadVariant;

    InstallerSettings::Hosts hosts;
    for (const auto& host : BuildTable::hosts)
        hosts[host.name] = juce::String (host.name) + ".test:8443";

    for (const auto& host : BuildTable::hosts)
    {
        for (const auto& language : BuildTable::languages)
        {
            const auto system = juce::String ("Pretend ") + host.systemNameContains + " system";
            SCOPED_TRACE (system + ", " + language.code);
            const InstallerSettings settings { system, language.code, hosts };

            const auto key = getVariantKey (settings);
            EXPECT_EQ (key, juce::String (host.platformTag) + language.code);
            EXPECT_EQ (getDownloadAddress (key, settings), "https://" + hosts[host.name] + language.fileName);
            EXPECT_EQ (getServerErrorText (key), juce::String (juce::CharPointer_UTF8 (language.shown.serverError)));
            EXPECT_EQ (getNetworkFailureText (key), juce::String (juce::CharPointer_UTF8 (language.shown.networkFailure)));
            EXPECT_EQ (getServerErrorText (BuildTable::noBuildTag + juce::String (language.code)), getServerErrorText (key));
        }
    }
}
