#pragma once

#include <juce_core/juce_core.h>

namespace platform
{
    /** A download over WinINet with the system's proxy settings. Redirects are followed here,
        never away from https: the framework follows them to any scheme, plain http included,
        which would let anyone on the network replace the program that is started with
        administrator rights.
    */
    std::unique_ptr<juce::URL::DownloadTask> startWinInetDownload (const juce::URL& url, const juce::File& target,
                                                                   std::unique_ptr<juce::OutputStream> output);
}
