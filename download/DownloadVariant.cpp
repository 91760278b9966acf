#include "DownloadVariant.h"

#include "download/BuildTable.h"

namespace DownloadVariant
{

namespace
{
    // The rows a variant key names, nullptr where it names none: the key is split only where its
    // tag and its language code are each a whole row, so that no language is told by a substring.
    struct KeyRows
    {
        const BuildTable::Host* host = nullptr;
        const BuildTable::Language* language = nullptr;
    };

    KeyRows findRows (const juce::String& variantKey)
    {
        for (const auto& language : BuildTable::languages)
        {
            if (! variantKey.endsWith (language.code))
                continue;

            const auto tag = variantKey.dropLastCharacters (juce::String (language.code).length());

            if (tag == BuildTable::noBuildTag)
                return { nullptr, &language };

            for (const auto& host : BuildTable::hosts)
                if (tag == host.platformTag)
                    return { &host, &language };
        }

        return {};
    }

    const Texts::Shown::Language& shownTexts (const juce::String& variantKey)
    {
        const auto* language = findRows (variantKey).language;
        return language != nullptr ? language->shown : Texts::Shown::en;
    }
}

juce::String getPlatformTag (const juce::String& operatingSystemName)
{
    // Plain substring tests in the table's order: "Windows 1" covers 10 and 11.
    for (const auto& host : BuildTable::hosts)
        if (operatingSystemName.contains (host.systemNameContains))
            return host.platformTag;

    return BuildTable::noBuildTag;
}

juce::String getVariantKey (const InstallerSettings& settings)
{
    return getPlatformTag (settings.operatingSystemName) + settings.languageCode;
}

juce::String getDownloadAddress (const juce::String& variantKey, const InstallerSettings& settings)
{
    const auto rows = findRows (variantKey);

    if (rows.host == nullptr)
        return {};

    const auto host = settings.hosts.find (rows.host->name);
    jassert (host != settings.hosts.end());   // the settings name every host of the table

    if (host == settings.hosts.end())
        return {};

    return "https://" + host->second + rows.language->fileName;
}

juce::String getNetworkFailureText (const juce::String& variantKey)
{
    return juce::String (juce::CharPointer_UTF8 (shownTexts (variantKey).networkFailure));
}

juce::String getServerErrorText (const juce::String& variantKey)
{
    return juce::String (juce::CharPointer_UTF8 (shownTexts (variantKey).serverError));
}

} // namespace DownloadVariant
