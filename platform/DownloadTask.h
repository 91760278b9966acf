#pragma once

#include "rules/AnswerJudge.h"

#include <functional>
#include <mutex>

namespace platform
{

/** Opens the download's file for writing, keeping its first `keep` bytes (0: a new, empty file).
    Null when it cannot.
*/
using DownloadOutputOpener = std::function<std::unique_ptr<juce::OutputStream> (juce::int64 keep)>;

/** What came of an attempt that gave no task: for the log, and for when to ask again. */
struct AttemptEnd
{
    juce::Result refusal = juce::Result::ok();   // failed: an answer came and was refused, and why
    juce::int64 retryAfterSeconds = -1;          // how long its server asked us to wait (-1: it did not say)
    int busyStatus = 0;                          // the 5xx or 429 a ranged request was refused with for now; 0: none came
};

/** A download's task: the framework's, counting the whole file (the kept bytes of a resumed
    attempt included), plus what tells a network that failed from a server's answer.

    Its own thread publishes the progress that other threads read through the framework's plain
    getters, with atomic stores, 'finished' last with release order, so that a reader who sees it
    finished also sees the rest, and a 64-bit count is never half written (two words on i686).
*/
class DownloadTask : public juce::URL::DownloadTask
{
public:
    /** Finished because the network failed in the middle of the body (the connection closed or
        reset, a TLS or transport error, a body shorter than announced): not the server's answer,
        not a file that could not be written.
    */
    bool wasCutOff() const noexcept
    {
        return __atomic_load_n (&finished, __ATOMIC_ACQUIRE) && __atomic_load_n (&cutOff, __ATOMIC_RELAXED);
    }

    /** Finished with every byte the server sent, but a chunked body whose end the server would
        not confirm (getRefusal() says why): it may be whole. Read once the task has finished.
    */
    bool isEndUntold() const noexcept        { return endUntold; }

    /** A 206 answer that continues the kept bytes exactly (the counts include them). */
    bool isResumed() const noexcept          { return resumed; }

    /** The validators of the file this task writes, for a later attempt to resume it by. */
    const rules::Validators& getValidators() const noexcept    { return validators; }

    /** Where the body came from, after redirects: the validators name versions of it only. */
    const juce::String& getAddress() const noexcept     { return address; }

    /** Why the answer was refused, its body never taken, or its chunked body's end not confirmed
        (rules::AnswerJudge); empty when it was not. Read once the task has finished.
    */
    const juce::String& getRefusal() const noexcept     { return refusal; }

    /** For the log: from which byte the attempt resumed, or why it started again from zero;
        empty when it was not asked to resume.
    */
    const juce::String& getStartNote() const noexcept    { return startNote; }

    /** Calls `notify` once, when the task has finished: on the thread that finishes it, or here
        at once when it already has. So that whoever watches the task can look at once, not at
        its next tick; `notify` must only pass the word on (it may run on the task's thread).
    */
    void whenFinished (std::function<void()> notify)
    {
        {
            const std::scoped_lock lock (notifyLock);

            if (! __atomic_load_n (&finished, __ATOMIC_ACQUIRE))
            {
                onFinished = std::move (notify);
                return;
            }
        }

        if (notify != nullptr)
            notify();
    }

protected:
    void publishDownloaded (juce::int64 total) noexcept    { __atomic_store_n (&downloaded, total, __ATOMIC_RELAXED); }

    void publishFinished (bool failed, bool cutOffByNetwork = false)
    {
        std::function<void()> notify;

        {
            const std::scoped_lock lock (notifyLock);
            __atomic_store_n (&error, failed, __ATOMIC_RELAXED);
            __atomic_store_n (&cutOff, failed && cutOffByNetwork, __ATOMIC_RELAXED);
            __atomic_store_n (&finished, true, __ATOMIC_RELEASE);
            notify = std::move (onFinished);
        }

        if (notify != nullptr)
            notify();
    }

    /** What the judge said of the answer whose body this task takes (set before it is handed out). */
    void takeJudgement (const rules::AnswerJudge& judge, bool appended)
    {
        resumed = appended;
        validators = judge.getBodyValidators();
        address = judge.getAddress();
        startNote = judge.getStartNote();
        refusal = judge.getRefusal();
    }

    // Set before the task is handed out, never changed after; refusal also just before the task
    // reports that it has finished (a chunked body's end not confirmed).
    bool resumed = false, endUntold = false;
    rules::Validators validators;
    juce::String address, startNote, refusal;

private:
    bool cutOff = false;
    std::mutex notifyLock;
    std::function<void()> onFinished;   // with notifyLock held
};

/** An answer whose body is never taken (a redirect that can never succeed, a body whose end
    cannot be told): finished at once, a server error that says why.
*/
class RefusedAnswer final : public DownloadTask
{
public:
    /** `why` is the layer's own reason, for an answer its stack refused before the judge saw it. */
    RefusedAnswer (const juce::File& target, int status, const rules::AnswerJudge& judge, const juce::String& why = {})
    {
        targetLocation = target;
        httpCode = status;
        takeJudgement (judge, false);

        if (why.isNotEmpty())
            refusal = why;

        publishFinished (true);
    }
};

} // namespace platform
