#include "DownloadVariant.h"

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
        { "wincn",  settings.firstHost,  "/VantrelInstall_winCN.exe" },
        { "winen",  settings.firstHost,  "/VantrelInstall_winEN.exe" },
        { "win7cn", settings.secondHost, "/VantrelInstall_winCN.exe" },
        { "win7en", settings.secondHost, "/VantrelInstall_winEN.exe" },
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
    return isChinese (variantKey) ? juce::String (juce::CharPointer_UTF8 ("\xe7\xbd\x91\xe7\xbb\x9c\xe5\xbc\x82\xe5\xb8\xb8! \xe6\xad\xa3\xe5\x9c\xa8\xe5\xb0\x9d\xe8\xaf\x95\xe8\xbf\x9e\xe6\x8e\xa5\xe4\xb8\xad..."))
                                  : juce::String ("Network anomaly! We're attempting to reconnect...");
}

juce::String getServerErrorText (const juce::String& variantKey)
{
    return isChinese (variantKey) ? juce::String (juce::CharPointer_UTF8 ("\xe6\x9c\x8d\xe5\x8a\xa1\xe5\x99\xa8\xe5\xbc\x82\xe5\xb8\xb8!"))
                                  : juce::String ("Server error!");
}

} // namespace DownloadVariant
