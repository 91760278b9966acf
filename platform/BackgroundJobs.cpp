#include "BackgroundJobs.h"

#include "Deadline.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::BackgroundJobs
{

namespace
{
    class Job final : public juce::Thread
    {
    public:
        explicit Job (std::function<void()> jobToRun) : juce::Thread ("Background job"), work (std::move (jobToRun)) {}

        ~Job() override { stopThread (-1); }

    private:
        void run() override
        {
            work();
            work = nullptr;   // what the job holds is let go on its own thread, before it counts as ended
        }

        std::function<void()> work;
    };

    struct Registry
    {
        std::mutex mutex;
        std::vector<std::shared_ptr<Job>> jobs;
        bool closing = false;

        /** Forgets the jobs that have ended; call with the mutex held. */
        void reap()
        {
            jobs.erase (std::remove_if (jobs.begin(), jobs.end(),
                                        [] (const auto& job) { return ! job->isThreadRunning(); }),
                        jobs.end());
        }
    };

    Registry& registry()
    {
        static Registry instance;
        return instance;
    }
}

bool launch (std::function<void()> work)
{
    auto& r = registry();
    auto job = std::make_shared<Job> (std::move (work));

    {
        const std::scoped_lock lock (r.mutex);

        if (r.closing)
            return false;

        r.reap();
        r.jobs.push_back (job);
    }

    if (job->startThread())
        return true;

    const std::scoped_lock lock (r.mutex);
    r.jobs.erase (std::find (r.jobs.begin(), r.jobs.end(), job));
    return false;
}

bool stopAll (int milliseconds)
{
    auto& r = registry();
    const Deadline deadline (milliseconds);

    for (;;)
    {
        std::vector<std::shared_ptr<Job>> running;

        {
            const std::scoped_lock lock (r.mutex);
            r.closing = true;
            r.reap();
            running = r.jobs;
        }

        if (running.empty())
            return true;

        // Waited for outside the lock: a job may be starting one of its own meanwhile (refused now).
        for (const auto& job : running)
        {
            job->signalThreadShouldExit();

            while (job->isThreadRunning())
            {
                if (deadline.hasPassed())
                    return false;

                juce::Thread::sleep (2);
            }
        }
    }
}

void endProcessWithoutTeardown (int exitCode)
{
    std::_Exit (exitCode);
}

} // namespace platform::BackgroundJobs
