#pragma once

#include "SignerList.h"

#include <map>

/** The facts a download is chosen by, and who may have signed what is started. The application
    passes those of its build and system; tests pass their own.
*/
struct InstallerSettings
{
    /** Each download host by its name in the build table (download/BuildTable.h), e.g. "win10",
        as "host[:port]".
    */
    using Hosts = std::map<juce::String, juce::String>;

    // A constructor rather than an aggregate, so that settings without signers need not say so.
    InstallerSettings (juce::String system, juce::String language, Hosts hostsByName, SignerList signers = {})
        : operatingSystemName (std::move (system)), languageCode (std::move (language)),
          hosts (std::move (hostsByName)), allowedSigners (std::move (signers))
    {
    }

    juce::String operatingSystemName;   // as the system names itself, e.g. "Windows 10"
    juce::String languageCode;          // a language of the build table, e.g. "cn"
    Hosts hosts;
    SignerList allowedSigners;          // who may have signed the tool; empty: no check
};
