#pragma once

#include <chrono>

/** Every timing of the program, each with why it is what it is. They are build constants:
    nothing is configured at run time.
*/
namespace Timings
{
    using namespace std::chrono_literals;

    /** The monitor's tick. Each tick shows the progress and notices a stall, and the tick is also
        the first retry's interval (a tick without a download starts the next attempt when none
        runs and the last has not failed too often: see retryWaitCap) and the rate of the
        "Downloading..." and "Reconnecting..." lines. A download that ends is looked at when it
        ends, not at the tick.
    */
    constexpr auto monitorPeriod = 500ms;

    /** The longest wait between connection attempts that fail one after another (the wait
        doubles from the tick up to it): short enough that a server back after an outage is asked
        again within it, long enough that a fleet of programs does not keep a recovering server down.
    */
    constexpr auto retryWaitCap = 15s;

    /** The longest a server's Retry-After is honoured: a longer one (a misconfigured server, a
        date far ahead) would leave the user looking at the red text for no reason we can show.
    */
    constexpr auto serverRetryLimit = 60s;

    /** When no exit watcher could be started, how often the hidden program's timer asks whether
        the tool still runs instead: it then quits at most this long after the tool has.
    */
    constexpr auto toolExitPoll = 500ms;

    /** The exit watcher waits on the tool itself (its end wakes it at once) this long at a time,
        between which it hears that the program is closing.
    */
    constexpr auto toolExitWaitSlice = 100ms;

    /** A connection and its TLS handshake may take this long, and the whole head of an answer
        must come within the same: the framework's own WinINet time-outs, kept on both builds.
    */
    constexpr auto connectTimeout = 30s;

    /** A transfer that receives nothing for this long is given up as a network failure (the
        framework's WinINet receive time-out), watched by the program itself, because Wine's
        WinINet ignores its receive time-out.
    */
    constexpr auto idleTimeout = 30s;

    /** How soon a connection attempt notices that it should stop (both layers poll at this),
        so that closing is never held up by one.
    */
    constexpr auto attemptPoll = 50ms;

    /** How soon a running transfer of the Linux layer notices that it should stop. */
    constexpr auto transferPoll = 100ms;

    /** How long closing waits for jobs asked to stop: long enough for them to notice (see
        attemptPoll), short enough that closing never feels stuck behind an attempt that cannot be
        interrupted; such a job finds the window gone and cleans up after itself.
    */
    constexpr auto jobStopWait = 300ms;

    /** How long the exit waits for jobs still running, for a busy machine; after that the process
        ends without its library teardown (what still runs is not waited for).
    */
    constexpr auto jobExitWait = 500ms;

    /** How long deleting the per-run folder after the tool has exited tries again, every
        attemptPoll: a tool that has just exited may still hold its own file for a moment on a
        busy machine (seen under Wine: the folder was left), and a file marked for deletion goes
        only when the last handle on it closes; until then the folder cannot go. The one wait for
        both: each try deletes what it can and says whether all of it went.
    */
    constexpr auto pendingDeletionWait = 2s;

    /** How long a log line waits for its turn among the log's writers (a byte-range lock on the
        user's own file, which any program of the user can hold for good): long enough for another
        copy's line to be written, short enough that a holder never stops the program. After it the
        line is written without its turn (see the Windows log file).
    */
    constexpr auto logTurnWait = 100ms;

    /** How long closing waits for the per-run folder to go (a download just let go may still be
        closing its file): within the promise that closing ends the program in 2 s.
    */
    constexpr auto closingDeletionWait = 1s;

    /** How much longer closing waits for the deletion's last try, begun within closingDeletionWait,
        before it says the folder could not be deleted and lets the try end alone.
    */
    constexpr auto closingDeletionLastTry = 250ms;

    /** How often a writer waiting for its turn on the log tries again (within logTurnWait). */
    constexpr auto logTurnPoll = 1ms;

    /** How often the exit looks whether the jobs asked to stop have ended (within jobExitWait). */
    constexpr auto jobEndPoll = 2ms;

    /** How long a program ended before its first instruction (the system started another file
        than the checked one) is waited for, so that it is gone before its folder is deleted; it
        never ran, so it ends at once unless the machine is stalled.
    */
    constexpr auto refusedProgramEndWait = 5s;

    /** How often the Linux build hands the display's queued events to the framework while the
        window is shown: often enough that a close or a repaint is never noticeably late.
    */
    constexpr auto queuedEventPumpPeriod = 100ms;

    /** How often the Windows build paints what the framework left unpainted while the window is
        shown: a smooth bar (Wine's wait for the vertical blank returns at once, so the framework's
        own painting thread would paint once and never again).
    */
    constexpr auto repaintPumpPeriod = 33ms;

    /** Milliseconds, for the framework's calls that take an int. */
    template <typename Duration>
    constexpr int inMilliseconds (Duration duration)
    {
        return (int) std::chrono::duration_cast<std::chrono::milliseconds> (duration).count();
    }
}
