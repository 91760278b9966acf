// The stall watchdog, against a clock the test moves: a transfer is given up only after the whole
// limit without a byte, however slowly bytes come, and each new transfer is timed afresh.

#include "download/StallWatch.h"

#include <gtest/gtest.h>

TEST (StallWatch, GivesUpOnlyAfterTheWholeLimitWithoutAByte)
{
    using namespace std::chrono_literals;
    const StallWatch::Clock::time_point start;
    StallWatch watch (30s);

    watch.note (0, start);
    EXPECT_FALSE (watch.hasStalled (start + 29s));
    EXPECT_FALSE (watch.hasMoved());

    // One byte every 29 seconds is slow, not stalled.
    for (int i = 1; i <= 10; ++i)
    {
        watch.note (i, start + i * 29s);
        EXPECT_FALSE (watch.hasStalled (start + i * 29s + 29s));
    }

    EXPECT_TRUE (watch.hasMoved());
    EXPECT_TRUE (watch.hasStalled (start + 10 * 29s + 30s));

    // A new transfer that starts where the last one stopped is timed from its own first look.
    watch.restart();
    watch.note (10, start + 1000s);
    EXPECT_FALSE (watch.hasMoved());
    EXPECT_FALSE (watch.hasStalled (start + 1029s));
    EXPECT_TRUE (watch.hasStalled (start + 1030s));
}
