#pragma once

#include <juce_core/juce_core.h>

#include <algorithm>
#include <chrono>
#include <functional>

/** When the next connection attempt may start after attempts that failed one after another, so
    that a fleet of programs open during an outage does not ask a recovering server two or three
    times a second each: after the first failure at once (the next tick), then after a wait that
    doubles from the tick with each further failure, at most the cap, each wait drawn between its
    half and its whole so that programs that failed together do not come back together. A server
    that says when to come back (Retry-After) is asked no sooner, up to a limit of our own. An
    attempt that got somewhere (an answer, bytes) starts the count again.
*/
class RetryPacer
{
public:
    using Clock = std::chrono::steady_clock;

    /** `random` gives a number in [0, 1) for each wait (the tests' seam for the jitter). */
    RetryPacer (Clock::duration tickToUse, Clock::duration capToUse, Clock::duration serverLimitToUse,
                std::function<double()> randomToUse)
        : tick (tickToUse), cap (capToUse), serverLimit (serverLimitToUse), random (std::move (randomToUse))
    {
    }

    /** An attempt failed at `now` (no answer, refused, or refused for now); `serverAsked` is how
        long its server asked us to wait (zero: it did not).
    */
    void failed (Clock::time_point now, Clock::duration serverAsked = {})
    {
        ++failures;

        if (failures == 1)
        {
            nextAttemptAt = now;   // the first failure is retried at the next tick, as ever
        }
        else
        {
            const auto doubled = tick * (1LL << std::min (failures - 2, 20));
            const auto whole = std::min<Clock::duration> (doubled, cap);
            const auto drawn = std::chrono::duration_cast<Clock::duration> (whole * (0.5 + 0.5 * random()));
            nextAttemptAt = now + drawn;
        }

        nextAttemptAt = std::max (nextAttemptAt, now + std::min (serverAsked, serverLimit));
    }

    /** An attempt got somewhere: the next failure is retried at once again. */
    void succeeded() noexcept
    {
        failures = 0;
        nextAttemptAt = {};
    }

    /** Whether an attempt may start at `now`. */
    bool mayAttempt (Clock::time_point now) const noexcept    { return now >= nextAttemptAt; }

    /** When the next attempt may start, for the tests and the bench. */
    Clock::time_point getNextAttemptTime() const noexcept       { return nextAttemptAt; }

private:
    const Clock::duration tick, cap, serverLimit;
    const std::function<double()> random;
    int failures = 0;
    Clock::time_point nextAttemptAt;
};
