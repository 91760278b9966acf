#pragma once

#include "InstallerSettings.h"

/** Which build of the setup tool suits the computer, and where it is downloaded from. */
namespace DownloadVariant
{
    /** "win" for Windows 10 and 11, "win7" for Windows 7, "mac" for anything else. */
    juce::String getPlatformTag (const juce::String& operatingSystemName);

    /** The platform tag followed by the language code, e.g. "wincn". */
    juce::String getVariantKey (const InstallerSettings& settings);

    /** The download address for a variant key, or an empty string for a key with no build. */
    juce::String getDownloadAddress (const juce::String& variantKey, const InstallerSettings& settings);

    /** The red texts, in Chinese when the key names the "cn" language, else in English. */
    juce::String getNetworkFailureText (const juce::String& variantKey);
    juce::String getServerErrorText (const juce::String& variantKey);
}
