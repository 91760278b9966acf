#pragma once

#include <juce_core/juce_core.h>

namespace platform
{

/** A download task whose own thread writes the progress that other threads read through the
    framework's plain getters (isFinished, getLengthDownloaded, hadError). Published with atomic
    stores, 'finished' last with release order, so that a reader who sees it finished also sees
    the rest, and a 64-bit count is never half written (it is two words on i686).
*/
class PublishedDownloadTask : public juce::URL::DownloadTask
{
protected:
    void publishDownloaded (juce::int64 total) noexcept    { __atomic_store_n (&downloaded, total, __ATOMIC_RELAXED); }

    void publishFinished (bool failed) noexcept
    {
        __atomic_store_n (&error, failed, __ATOMIC_RELAXED);
        __atomic_store_n (&finished, true, __ATOMIC_RELEASE);
    }
};

} // namespace platform
