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

    return { platform::getOperatingSystemName(), VANTREL_LANGUAGE, VANTREL_WIN10_HOST, VANTREL_WIN7_HOST,
             allowedSigners };
}

} // namespace BuildSettings
