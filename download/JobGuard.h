#pragma once

#include "platform/BackgroundJobs.h"
#include "platform/Deadline.h"

#include <functional>
#include <memory>

/** Lets background jobs use the object that launched them only while it is alive.

    The owner shares the guard with its jobs and calls release() first thing in its destructor:
    from then on withOwner() runs nothing, and jobs still running are asked to stop (their
    juce::Thread is signalled, which also aborts a pending MessageManagerLock). Lock order: a job
    may take the message-thread lock and then the guard, never the other way round.
*/
template <typename Owner>
class JobGuard
{
public:
    explicit JobGuard (Owner& ownerToGuard) : owner (&ownerToGuard) {}

    /** Runs `job` on a thread of its own for as long as it takes; false if no thread could be started. */
    template <typename Job>
    static bool launch (std::shared_ptr<JobGuard> guard, Job job)
    {
        return platform::BackgroundJobs::launch (guarded (std::move (guard), std::move (job)));
    }

    /** `job` as a job of the guard, for whoever runs it (launch, or a stand-in for the system):
        it runs only while the owner is alive, and is asked to stop when the owner goes.
    */
    template <typename Job>
    static std::function<void()> guarded (std::shared_ptr<JobGuard> guard, Job job)
    {
        return [guard = std::move (guard), job = std::move (job)]() mutable
        {
            auto* const thread = juce::Thread::getCurrentThread();

            if (! guard->enter (thread))
                return;

            job();
            guard->leave (thread);
        };
    }

    /** Calls use (owner) while holding the guard, so that the owner cannot go away meanwhile.
        Returns false, without calling it, once the owner has been released.
    */
    template <typename Use>
    bool withOwner (Use&& use)
    {
        const juce::ScopedLock lock (mutex);

        if (owner == nullptr)
            return false;

        use (*owner);
        return true;
    }

    /** For a call on the owner's own thread, where the owner cannot go away meanwhile: the owner,
        or null once it has been released. Nothing stays locked while the caller uses it.
    */
    Owner* getOwnerOnItsThread()
    {
        const juce::ScopedLock lock (mutex);
        return owner;
    }

    /** Sleeps up to `milliseconds`, waking early when the owner is released; true once it has been. */
    bool waitForRelease (int milliseconds) const    { return released.wait (milliseconds); }

    /** Called by the owner as it is destroyed: no job touches it after this returns. */
    void release()
    {
        const juce::ScopedLock lock (mutex);
        owner = nullptr;
        released.signal();

        for (auto* thread : jobs)
            if (thread != nullptr)   // a job run on a thread the framework did not start
                thread->signalThreadShouldExit();
    }

    /** Waits up to `milliseconds` for the jobs still running to end; true if none is left. */
    bool waitForJobsToEnd (int milliseconds) const
    {
        const platform::Deadline deadline (milliseconds);

        for (;;)
        {
            {
                const juce::ScopedLock lock (mutex);

                if (jobs.isEmpty())
                    return true;
            }

            if (deadline.hasPassed())
                return false;

            noJobs.wait (deadline.remainingMs());
        }
    }

private:
    bool enter (juce::Thread* thread)
    {
        const juce::ScopedLock lock (mutex);

        if (owner == nullptr)
            return false;

        jobs.add (thread);
        noJobs.reset();
        return true;
    }

    void leave (juce::Thread* thread)
    {
        const juce::ScopedLock lock (mutex);
        jobs.removeFirstMatchingValue (thread);

        if (jobs.isEmpty())
            noJobs.signal();
    }

    juce::CriticalSection mutex;
    Owner* owner;
    juce::Array<juce::Thread*> jobs;
    juce::WaitableEvent released { true }, noJobs { true };

    JUCE_DECLARE_NON_COPYABLE (JobGuard)
};
