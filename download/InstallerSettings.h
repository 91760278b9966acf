#pragma once

#include "SignerList.h"

/** The facts a download is chosen by, and who may have signed what is started. The application
    passes those of its build and system; tests pass their own.
*/
struct InstallerSettings
{
    // A constructor rather than an aggregate, so that settings without signers need not say so.
    InstallerSettings (juce::String system, juce::String language, juce::String windows10And11, juce::String windows7,
                       SignerList signers = {})
        : operatingSystemName (std::move (system)), languageCode (std::move (language)),
          windows10Host (std::move (windows10And11)), windows7Host (std::move (windows7)), allowedSigners (std::move (signers))
    {
    }

    juce::String operatingSystemName;   // as the system names itself, e.g. "Windows 10"
    juce::String languageCode;          // "cn" or "en"
    juce::String windows10Host;         // serves the Windows 10 and 11 builds, "host[:port]"
    juce::String windows7Host;          // serves the Windows 7 builds
    SignerList allowedSigners;          // who may have signed the tool; empty: no check
};
