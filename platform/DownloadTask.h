#pragma once

#include <juce_core/juce_core.h>

#include <functional>

namespace platform
{

/** What an attempt knows of a download that an earlier one left unfinished: it asks only for
    the rest, and only when all of this is known (else there is nothing safe to resume).
*/
struct DownloadResume
{
    juce::int64 received = 0;          // the bytes kept in the file
    juce::int64 completeLength = -1;   // the whole file's length, as the earlier answers gave it
    juce::String validator;            // their strong ETag, or else their Last-Modified: sent as If-Range

    bool canResume() const    { return received > 0 && completeLength > received && validator.isNotEmpty(); }
};

/** Opens the download's file for writing, keeping its first `keep` bytes (0: a new, empty file).
    Null when it cannot.
*/
using DownloadOutputOpener = std::function<std::unique_ptr<juce::OutputStream> (juce::int64 keep)>;

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

    /** A 206 answer that continues the kept bytes exactly (the counts include them). */
    bool isResumed() const noexcept          { return resumed; }

    /** What a later attempt may send as If-Range to resume this file; empty when nothing. */
    const juce::String& getValidator() const noexcept    { return validator; }

    /** For the log: from which byte the attempt resumed, or why it started again from zero;
        empty when it was not asked to resume.
    */
    const juce::String& getStartNote() const noexcept    { return startNote; }

protected:
    void publishDownloaded (juce::int64 total) noexcept    { __atomic_store_n (&downloaded, total, __ATOMIC_RELAXED); }

    void publishFinished (bool failed, bool cutOffByNetwork = false) noexcept
    {
        __atomic_store_n (&error, failed, __ATOMIC_RELAXED);
        __atomic_store_n (&cutOff, failed && cutOffByNetwork, __ATOMIC_RELAXED);
        __atomic_store_n (&finished, true, __ATOMIC_RELEASE);
    }

    // Set before the task is handed out, never changed after.
    bool resumed = false;
    juce::String validator, startNote;

private:
    bool cutOff = false;
};

/** How an answer to a ranged request (Range: bytes=<received>-, If-Range: <validator>) is used. */
namespace RangedAnswer
{
    enum class Use
    {
        append,             // a 206 that starts at the kept length and has the same complete length
        fromZero,           // the whole file instead (a 200; or an answer that is no file, judged as usual)
        askAgainPlainly     // a 206 that does not fit, a 416: nothing of it can be used
    };

    /** What to do with an answer of `status` and `contentRange` (its Content-Range header) to
        a request made with `resume`; `note` says it for the log.
    */
    Use judge (const DownloadResume& resume, int status, const juce::String& contentRange,
               const juce::String& answerValidator, juce::String& note);

    /** The If-Range value an answer offers: its ETag when strong, else its Last-Modified. */
    juce::String chooseValidator (const juce::String& etag, const juce::String& lastModified);
}

} // namespace platform
