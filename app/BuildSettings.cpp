// The build constants of one executable; compiled into each executable with its own values.

#include "BuildSettings.h"

#include "platform/Platform.h"

namespace BuildSettings
{

InstallerSettings get()
{
    // The list's ";" cannot pass through a compile definition: the build writes new lines instead.
    const auto signers = juce::String (VANTREL_ALLOWED_SIGNERS).replaceCharacter ('\n', ';');
    const auto allowedSigners = SignerList::parse (signers);
    jassert (allowedSigners.getError().isEmpty());   // checked when the build was configured

    // Each host of the build table as "<name>=<host>", a line each (cmake/BuildTable.cmake).
    InstallerSettings::Hosts hosts;

    for (const auto& line : juce::StringArray::fromLines (VANTREL_HOSTS))
        hosts[line.upToFirstOccurrenceOf ("=", false, false)] = line.fromFirstOccurrenceOf ("=", false, false);

    return { platform::getOperatingSystemName(), VANTREL_LANGUAGE, std::move (hosts), allowedSigners };
}

} // namespace BuildSettings
