#pragma once

#include "platform/DownloadTask.h"

namespace platform
{
    /** A download over WinINet with the system's proxy settings, as platform::startDownload says.
        WinINet only carries the requests and reads the bodies: redirects (never away from https;
        the framework would follow them to plain http), framing and what a ranged answer is good
        for are the rules::AnswerJudge's, as on Linux.
    */
    std::unique_ptr<DownloadTask> startWinInetDownload (const juce::URL& url, const juce::File& target,
                                                        const DownloadOutputOpener& openOutput, const rules::DownloadResume& resume,
                                                        AttemptEnd* end);
}
