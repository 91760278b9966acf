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
    /** The jobs started through it, each counted from its launch until its thread has ended,
        its own exit included (not by whether the framework still calls it running: one launched
        but not yet started counts, and one whose thread is still cleaning up after itself too).
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

    /** Lets `object` go on a job of its own, so that a destructor that waits (for a read the
        system does not interrupt) never holds up the caller; here when no job can be started.
        The object is moved into the job, never copied: a copy kept by the caller could turn out
        to be the last one and run the destructor on the caller's thread after all.
    */
    template <typename Object>
    void letGo (std::unique_ptr<Object> object)
    {
        if (object != nullptr)
            launch ([held = std::shared_ptr<Object> (std::move (object))]() mutable { held.reset(); });
    }

    /** Registry::stopAll on the program's registry: for its exit. */
    bool stopAll (int milliseconds);

    /** Ends the program at once with `exitCode`, without running static destructors, exit
        handlers or the libraries' own teardown (on Windows not even their DLL detach code): the
        way out when stopAll() has left jobs running. The log loses nothing: each line is written
        to the file as it is logged.
    */
    [[noreturn]] void endProcessWithoutTeardown (int exitCode);
}

} // namespace platform
