#pragma once

#include "download/BuildTable.h"
#include "download/InstallerSettings.h"

/** Settings with every host of the build table at the one given, so that a test of another part
    need not change when a host is added.
*/
inline InstallerSettings settingsAt (const juce::String& hostAndPort, const juce::String& system,
                                     const juce::String& language, SignerList signers = {})
{
    InstallerSettings::Hosts hosts;

    for (const auto& host : BuildTable::hosts)
        hosts[host.name] = hostAndPort;

    return { system, language, std::move (hosts), std::move (signers) };
}
