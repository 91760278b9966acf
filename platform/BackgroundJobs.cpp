#include "BackgroundJobs.h"

#include "Deadline.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace platform::BackgroundJobs
{

class Registry::Job final : public juce::Thread
{
public:
    explicit Job (std::function<void()> jobToRun) : juce::Thread ("Background job"), work (std::move (jobToRun)) {}

    ~Job() override { stopThread (-1); }

    /** Its work has returned and its thread is gone: nothing of it runs any more. */
    bool isDone() const      { return ended && ! isThreadRunning(); }

private:
    void run() override
    {
        work();
        work = nullptr;   // what the job holds is let go on its own thread, before it counts as ended
        ended = true;
    }

    std::function<void()> work;
    std::atomic<bool> ended { false };
};

Registry::Registry() = default;
Registry::~Registry() = default;

std::vector<std::shared_ptr<Registry::Job>> Registry::takeDone()
{
    const auto firstEnded = std::stable_partition (jobs.begin(), jobs.end(), [] (const auto& job) { return ! job->isDone(); });
    std::vector<std::shared_ptr<Job>> ended (std::make_move_iterator (firstEnded), std::make_move_iterator (jobs.end()));
    jobs.erase (firstEnded, jobs.end());
    return ended;
}

bool Registry::launch (std::function<void()> work)
{
    auto job = std::make_shared<Job> (std::move (work));
    std::vector<std::shared_ptr<Job>> ended;

    {
        const std::scoped_lock lock (mutex);

        if (closing)
            return false;

        ended = takeDone();
        jobs.push_back (job);
    }

    ended.clear();

    if (job->startThread())
        return true;

    // Never started, so never ends by itself: out of the count again.
    const std::scoped_lock lock (mutex);
    jobs.erase (std::remove (jobs.begin(), jobs.end(), job), jobs.end());
    return false;
}

bool Registry::stopAll (int milliseconds)
{
    const Deadline deadline (milliseconds);

    for (;;)
    {
        std::vector<std::shared_ptr<Job>> left, ended;

        {
            const std::scoped_lock lock (mutex);
            closing = true;
            ended = takeDone();
            left = jobs;
        }

        ended.clear();

        if (left.empty())
            return true;

        // Asked again on every round: starting a thread clears the request, so a job launched
        // just before the exit began may not have seen it yet.
        for (const auto& job : left)
            job->signalThreadShouldExit();

        if (deadline.hasPassed())
            return false;

        juce::Thread::sleep (2);
    }
}

namespace
{
    Registry& programRegistry()
    {
        static Registry instance;
        return instance;
    }
}

bool launch (std::function<void()> work)
{
    return programRegistry().launch (std::move (work));
}

bool stopAll (int milliseconds)
{
    return programRegistry().stopAll (milliseconds);
}

void endProcessWithoutTeardown (int exitCode)
{
    std::_Exit (exitCode);
}

} // namespace platform::BackgroundJobs
