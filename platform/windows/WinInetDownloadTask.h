#pragma once

#include <juce_core/juce_core.h>

namespace platform
{
    /** The framework's download over WinINet, except that the redirects are followed here: the
        framework follows them to any scheme, plain http included, which would let anyone on the
        network replace the program that is started with administrator rights.
    */
    std::unique_ptr<juce::URL::DownloadTask> startWinInetDownload (const juce::URL& url, const juce::File& target);
}
