#pragma once

#include "platform/DownloadTask.h"

namespace platform
{
    /** A download over WinINet with the system's proxy settings, as platform::startDownload says.
        Redirects are followed here, never away from https: the framework follows them to any
        scheme, plain http included, which would let anyone on the network replace the program
        that is started with administrator rights.
    */
    std::unique_ptr<DownloadTask> startWinInetDownload (const juce::URL& url, const juce::File& target,
                                                        const DownloadOutputOpener& openOutput, const DownloadResume& resume);
}
