// The build constants of one executable; compiled into each executable with its own values.

#include "download/InstallerSettings.h"
#include "platform/Platform.h"

InstallerSettings InstallerSettings::fromBuild()
{
    return { platform::getOperatingSystemName(), VANTREL_LANGUAGE, VANTREL_WIN10_HOST, VANTREL_WIN7_HOST };
}
