// The build constants of one executable; compiled into each executable with its own values.

#include "BuildSettings.h"

#include "platform/Platform.h"

namespace BuildSettings
{

InstallerSettings get()
{
    return { platform::getOperatingSystemName(), VANTREL_LANGUAGE, VANTREL_WIN10_HOST, VANTREL_WIN7_HOST };
}

} // namespace BuildSettings
