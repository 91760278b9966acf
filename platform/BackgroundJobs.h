#pragma once

#include <juce_core/juce_core.h>

#include <functional>

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
    /** Runs `job` on a juce::Thread of its own (so it can be asked to stop through the thread).
        False when no thread could be started, or once the exit has begun.
    */
    bool launch (std::function<void()> job);

    /** Refuses new jobs, asks those still running to stop and waits up to `milliseconds` for
        them to end. True when none is left.
    */
    bool stopAll (int milliseconds);

    /** Ends the program at once with `exitCode`, without running static destructors or exit
        handlers: the way out when stopAll() has left jobs running.
    */
    [[noreturn]] void endProcessWithoutTeardown (int exitCode);
}

} // namespace platform
