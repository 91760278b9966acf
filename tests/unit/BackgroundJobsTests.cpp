#include "platform/BackgroundJobs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST (BackgroundJobs, StopAllWaitsForEveryJobLaunchedWhileOthersLaunchAndEnd)
{
    // Jobs launched from several threads at once, as retries and clean-ups are: one registered
    // but not yet started must still be waited for, however the launches interleave.
    constexpr int rounds = 50, launchers = 6, jobsEach = 40;

    for (int round = 0; round < rounds; ++round)
    {
        platform::BackgroundJobs::Registry registry;
        std::atomic<int> accepted { 0 }, finished { 0 };
        std::vector<std::thread> threads;

        for (int t = 0; t < launchers; ++t)
            threads.emplace_back ([&]
            {
                for (int i = 0; i < jobsEach; ++i)
                    if (registry.launch ([&finished, i] { juce::Thread::sleep (i % 4 == 0 ? 20 : 1); ++finished; }))
                        ++accepted;
            });

        juce::Thread::sleep (round % 5);
        ASSERT_TRUE (registry.stopAll (20000));
        const auto finishedWhenStopped = finished.load();

        for (auto& thread : threads)
            thread.join();

        ASSERT_EQ (finishedWhenStopped, accepted.load()) << "round " << round;
        EXPECT_FALSE (registry.launch ([] {}));   // the exit has begun: nothing new
    }
}
