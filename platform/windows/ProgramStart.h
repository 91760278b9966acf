#pragma once

#include "platform/Platform.h"
#include "NoFollowOpen.h"

namespace platform
{
    /** Starts the program open at `file` with the folder open at `folder` as its working folder
        (see DownloadFolder::startLockedFile): suspended, then let run only when the system's
        image of it is that very file. Its environment is the program's as
        rules::makeToolEnvironment makes it, TEMP and TMP the folder open at `temporaryFolder`.
    */
    DownloadFolder::Start startProgramFile (const Handle& file, const Handle& folder, const Handle& temporaryFolder);
}
