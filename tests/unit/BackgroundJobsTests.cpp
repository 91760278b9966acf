#include "helpers/Scratch.h"
#include "platform/BackgroundJobs.h"
#include "platform/Platform.h"

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

TEST (BackgroundJobs, AJobIsDoneOnlyOnceItsThreadHasEndedItsOwnExit)
{
    // What a library cleans up per thread (a TLS library's thread state) runs after the job's
    // work has returned, as its thread exits: the exit must not count the job done before.
    static std::atomic<bool> cleanedUp { false };

    struct ThreadCleanUp
    {
        ~ThreadCleanUp()
        {
            juce::Thread::sleep (200);
            cleanedUp = true;
        }
    };

    platform::BackgroundJobs::Registry registry;
    ASSERT_TRUE (registry.launch ([] { static thread_local ThreadCleanUp cleanUp; (void) cleanUp; }));
    ASSERT_TRUE (registry.stopAll (20000));
    EXPECT_TRUE (cleanedUp);
}

TEST (BackgroundJobs, DiscardingADownloadReturnsWhileItsTaskIsStillEnding)
{
    // A task whose destructor waits for a read that the system never interrupts.
    struct BlockingTask final : public juce::URL::DownloadTask
    {
        BlockingTask (juce::WaitableEvent& e, std::atomic<bool>& d) : release (e), destroyed (d) {}
        ~BlockingTask() override   { release.wait (10000); destroyed = true; }

        juce::WaitableEvent& release;
        std::atomic<bool>& destroyed;
    };

    juce::WaitableEvent release;
    std::atomic<bool> destroyed { false };
    platform::discardDownload (std::make_unique<BlockingTask> (release, destroyed));

    EXPECT_FALSE (destroyed);
    release.signal();

    EXPECT_TRUE (waitFor ([&destroyed] { return destroyed.load(); }));
}
