#pragma once

#include <juce_core/juce_core.h>

/** The facts a download is chosen by. The application passes those of its build and system;
    tests pass their own.
*/
struct InstallerSettings
{
    juce::String operatingSystemName;   // as the system names itself, e.g. "Windows 10"
    juce::String languageCode;          // "cn" or "en"
    juce::String firstHost;             // serves the Windows 10 and 11 builds, "host[:port]"
    juce::String secondHost;            // serves the Windows 7 builds
};
