#include "BackgroundJobs.h"

#include "Deadline.h"
#include "constants/Timings.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#if JUCE_WINDOWS
 #include <windows.h>
#else
 #include <cerrno>
 #include <csignal>
 #include <sys/syscall.h>
 #include <unistd.h>
#endif

namespace platform::BackgroundJobs
{

namespace
{
    /** The native thread a job runs on, to be told when it has ended. The framework counts a
        thread stopped before the thread has finished its own exit, where the libraries' per-thread
        clean-up runs (and Windows' DLL detach code), and it cannot join its threads: so the
        thread is watched by the system's own record of it. The only system-dependent part of the
        registry, too small for a file per system.
    */
    class NativeThread
    {
    public:
        NativeThread() = default;
        NativeThread (const NativeThread&) = delete;
        NativeThread& operator= (const NativeThread&) = delete;

       #if JUCE_WINDOWS
        ~NativeThread()     { if (handle != nullptr) CloseHandle (handle); }

        /** Called on the thread itself. */
        void noteCurrent()
        {
            if (! DuplicateHandle (GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle, SYNCHRONIZE, FALSE, 0))
                handle = nullptr;
        }

        // A thread's handle is signalled once it has ended, after every DLL's detach code.
        bool hasEnded() const   { return handle == nullptr || WaitForSingleObject (handle, 0) == WAIT_OBJECT_0; }

    private:
        HANDLE handle = nullptr;
       #else
        void noteCurrent()      { id = (pid_t) ::syscall (SYS_gettid); }

        // Gone from the process once it has finished its exit (thread-local destructors and the
        // libraries' per-thread clean-up run before); a thread id is not reused within the
        // process while it lasts.
        bool hasEnded() const   { return id <= 0 || (::syscall (SYS_tgkill, ::getpid(), id, 0) != 0 && errno == ESRCH); }

    private:
        pid_t id = 0;
       #endif
    };
}

class Registry::Job final : public juce::Thread
{
public:
    explicit Job (std::function<void()> jobToRun) : juce::Thread ("Background job"), work (std::move (jobToRun)) {}

    ~Job() override { stopThread (-1); }

    /** Its work has returned and its thread has ended: nothing of it runs any more. */
    bool isDone() const      { return ended && ! isThreadRunning() && thread.hasEnded(); }

private:
    void run() override
    {
        thread.noteCurrent();
        work();
        work = nullptr;   // what the job holds is let go on its own thread, before it counts as ended
        ended = true;
    }

    std::function<void()> work;
    NativeThread thread;
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

        juce::Thread::sleep (Timings::inMilliseconds (Timings::jobEndPoll));
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
   #if JUCE_WINDOWS
    // ExitProcess, which _Exit comes down to, still runs every DLL's detach code.
    TerminateProcess (GetCurrentProcess(), (UINT) exitCode);
   #endif
    std::_Exit (exitCode);
}

} // namespace platform::BackgroundJobs
