#pragma once

#include "download/InstallerSettings.h"

namespace BuildSettings
{
    /** The settings this executable was built with (language, hosts, allowed signers), and the
        system's name.
    */
    InstallerSettings get();
}
