#include "download/RetryPacer.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Clock = RetryPacer::Clock;

TEST (RetryPacer, WaitsDoubleFromTheTickUpToTheCapDrawnBetweenHalfAndWholeAndServersAreHeardUpToALimit)
{
    using ms = std::chrono::milliseconds;

    struct Case
    {
        const char* situation;
        double jitter;
        std::vector<ms> serverAsked;   // one per failure in a row (zero: not asked)
        std::vector<ms> waits;         // after each failure
    };

    const Case cases[] = {
        { "failures in a row, each wait whole", 0.999999, { 0ms, 0ms, 0ms, 0ms, 0ms, 0ms, 0ms, 0ms },
          { 0ms, 500ms, 1000ms, 2000ms, 4000ms, 8000ms, 15000ms, 15000ms } },
        { "failures in a row, each wait at its half", 0.0, { 0ms, 0ms, 0ms, 0ms, 0ms, 0ms, 0ms },
          { 0ms, 250ms, 500ms, 1000ms, 2000ms, 4000ms, 7500ms } },
        { "a server that asks for longer is heard, up to the limit", 0.0, { 3000ms, 0ms, 120000ms },
          { 3000ms, 250ms, 60000ms } },
        { "a server that asks for less waits the pacer's own", 0.999999, { 0ms, 0ms, 0ms, 100ms },
          { 0ms, 500ms, 1000ms, 2000ms } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.situation);
        RetryPacer pacer (500ms, 15s, 60s, [&c] { return c.jitter; });
        auto now = Clock::time_point (1h);

        for (size_t i = 0; i < c.waits.size(); ++i)
        {
            SCOPED_TRACE (i);
            pacer.failed (now, c.serverAsked[i]);
            const auto wait = std::chrono::ceil<ms> (pacer.getNextAttemptTime() - now);
            EXPECT_NEAR ((double) wait.count(), (double) c.waits[i].count(), 1.0);
            EXPECT_FALSE (wait > 0ms && pacer.mayAttempt (now + wait - 1ms));
            EXPECT_TRUE (pacer.mayAttempt (now + wait));
            now += wait;
        }

        pacer.succeeded();   // an attempt that got somewhere: the next failure is retried at once
        pacer.failed (now);
        EXPECT_TRUE (pacer.mayAttempt (now));
    }
}
