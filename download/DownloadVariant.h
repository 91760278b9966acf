#pragma once

#include "InstallerSettings.h"

/** Which build of the setup tool suits the computer, and where it is downloaded from: the rows of
    download/BuildTable.h.
*/
namespace DownloadVariant
{
    /** The tag of the first host whose system name the given one contains ("win" for Windows 10
        and 11, "win7" for Windows 7), "mac" for a system no host serves.
    */
    juce::String getPlatformTag (const juce::String& operatingSystemName);

    /** The platform tag followed by the language code, e.g. "wincn". */
    juce::String getVariantKey (const InstallerSettings& settings);

    /** The download address for a variant key, or an empty string for a key with no build. */
    juce::String getDownloadAddress (const juce::String& variantKey, const InstallerSettings& settings);

    /** The red texts of the language the key ends with, in English for a key of no known language. */
    juce::String getNetworkFailureText (const juce::String& variantKey);
    juce::String getServerErrorText (const juce::String& variantKey);
}
