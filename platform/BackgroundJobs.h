#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform
{

/** Every thread that does the program's background work (connection attempts, retries, the
    tool's exit watcher, clean-ups) is started here, so that the program's exit can see them.

    A job that is still running when the process tears down the C++ run time, the framework
    and the HTTP stack's libraries would meet them half destroyed (a crash on the way out, seen
    inside a TLS attempt). So the exit asks every job to stop and waits a moment; what cannot
    stop by then is never torn down under: the process ends without its teardown instead.
*/
namespace BackgroundJobs
{
    /** The jobs started through it, each counted from its launch until its work has returned
        (not by whether its thread happens to run: one launched but not yet started counts).
        The program has one (the functions below); tests make their own.
    */
    class Registry
    {
    public:
        Registry();
        ~Registry();

        /** Runs `job` on a juce::Thread of its own (so it can be asked to stop through the
            thread). False when no thread could be started, or once stopAll() has begun.
        */
        bool launch (std::function<void()> job);

        /** Refuses new jobs, asks those counted to stop and waits up to `milliseconds` for their
            work to return. True when none is left.
        */
        bool stopAll (int milliseconds);

    private:
        class Job;

        /** Takes the jobs that are done out of the count, for the caller to let go outside the
            lock (letting one go joins its thread). Call with the mutex held.
        */
        std::vector<std::shared_ptr<Job>> takeDone();

        std::mutex mutex;
        std::vector<std::shared_ptr<Job>> jobs;
        bool closing = false;

        JUCE_DECLARE_NON_COPYABLE (Registry)
    };

    /** Registry::launch on the program's registry. */
    bool launch (std::function<void()> job);

    /** Registry::stopAll on the program's registry: for its exit. */
    bool stopAll (int milliseconds);

    /** Ends the program at once with `exitCode`, without running static destructors or exit
        handlers: the way out when stopAll() has left jobs running.
    */
    [[noreturn]] void endProcessWithoutTeardown (int exitCode);
}

} // namespace platform
