#include "DownloadVariant.h"

#include "constants/Texts.h"

namespace DownloadVariant
{

juce::String getPlatformTag (const juce::String& operatingSystemName)
{
    // Plain substring tests, in this order: "Windows 1" covers 10 and 11.
    if (operatingSystemName.contains ("Windows 1"))
        return "win";

    if (operatingSystemName.contains ("Windows 7"))
        return "win7";

    return "mac";
}

juce::String getVariantKey (const InstallerSettings& settings)
{
    return getPlatformTag (settings.operatingSystemName) + settings.languageCode;
}

juce::String getDownloadAddress (const juce::String& variantKey, const InstallerSettings& settings)
{
    struct Row { const char* key; const juce::String& host; const char* path; };

    const Row table[] = {
        { "wincn",  settings.windows10Host, "/VantrelInstall_winCN.exe" },
        { "winen",  settings.windows10Host, "/VantrelInstall_winEN.exe" },
        { "win7cn", settings.windows7Host,  "/VantrelInstall_winCN.exe" },
        { "win7en", settings.windows7Host,  "/VantrelInstall_winEN.exe" },
    };

    juce::String address;

    for (const auto& row : table)
        if (variantKey == row.key)
            address = "https://" + row.host + row.path;

    return address;
}

static bool isChinese (const juce::String& variantKey)
{
    return variantKey.contains ("cn");
}

juce::String getNetworkFailureText (const juce::String& variantKey)
{
    return juce::String (juce::CharPointer_UTF8 (isChinese (variantKey) ? Texts::Shown::networkFailureCn : Texts::Shown::networkFailureEn));
}

juce::String getServerErrorText (const juce::String& variantKey)
{
    return juce::String (juce::CharPointer_UTF8 (isChinese (variantKey) ? Texts::Shown::serverErrorCn : Texts::Shown::serverErrorEn));
}

} // namespace DownloadVariant
