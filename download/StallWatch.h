#pragma once

#include <juce_core/juce_core.h>

#include <chrono>

/** Tells a transfer that has received nothing for too long, from the counts it is shown and the
    times they were seen at (the caller's clock). The program's own watchdog: Wine's WinINet
    ignores its receive time-out.
*/
class StallWatch
{
public:
    using Clock = std::chrono::steady_clock;

    explicit StallWatch (Clock::duration limitToUse) : limit (limitToUse) {}

    /** Watches a new transfer: its stall is timed from the first count it is shown. */
    void restart() noexcept
    {
        lastCount = -1;
        moved = false;
    }

    /** Notes the transfer's count as seen at `now`. */
    void note (juce::int64 count, Clock::time_point now) noexcept
    {
        if (count == lastCount)
            return;

        moved = lastCount >= 0;
        lastCount = count;
        lastMoveAt = now;
    }

    /** Nothing arrived for the whole limit, up to the last time noted. */
    bool hasStalled (Clock::time_point now) const noexcept    { return lastCount >= 0 && now - lastMoveAt >= limit; }

    /** Bytes arrived since the first count this transfer was shown. */
    bool hasMoved() const noexcept    { return moved; }

private:
    const Clock::duration limit;
    juce::int64 lastCount = -1;
    Clock::time_point lastMoveAt;
    bool moved = false;
};
