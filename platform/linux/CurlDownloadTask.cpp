// Typed handles, so that the header can name them without including curl.
#define CURL_STRICTER 1
#include "CurlDownloadTask.h"

#include <curl/curl.h>

namespace platform
{

namespace
{
    constexpr int connectPollMs = Timings::inMilliseconds (Timings::attemptPoll);
    constexpr int transferPollMs = Timings::inMilliseconds (Timings::transferPoll);
    // Unbuffered file writes of curl's own large chunks: nothing is left to flush at the end, and
    // the framework's flush() would fsync, which costs over half a second per GiB before the tool
    // can start (the Windows stack never syncs either).
    constexpr size_t outputBufferSize = 0;
    constexpr long receiveBufferSize = 256 * 1024;

    void initialiseCurlOnce()
    {
        [[maybe_unused]] static const auto result = curl_global_init (CURL_GLOBAL_DEFAULT);
    }

    bool startsWithIgnoreCase (const char* data, size_t length, const char* prefix)
    {
        const auto prefixLength = strlen (prefix);
        return length >= prefixLength && strncasecmp (data, prefix, prefixLength) == 0;
    }
}

std::unique_ptr<DownloadTask> CurlDownloadTask::start (const juce::URL& url, const juce::File& target,
                                                       DownloadTimeouts timeouts, const DownloadResume& resume)
{
    return start (url, target, [target] (juce::int64 keep) -> std::unique_ptr<juce::OutputStream>
    {
        // As on Windows: a new file replaces what is there.
        if (keep == 0)
            target.deleteFile();

        auto output = std::make_unique<juce::FileOutputStream> (target, outputBufferSize);

        if (output->failedToOpen() || output->getPosition() < keep || ! output->setPosition (keep) || output->truncate().failed())
            return nullptr;

        return output;
    }, resume, timeouts);
}

std::unique_ptr<DownloadTask> CurlDownloadTask::start (const juce::URL& url, const juce::File& target,
                                                       const DownloadOutputOpener& openOutput,
                                                       const DownloadResume& resume, DownloadTimeouts timeouts)
{
    return begin (url, target, openOutput, resume, timeouts, {}, false);
}

std::unique_ptr<CurlDownloadTask> CurlDownloadTask::begin (const juce::URL& url, const juce::File& target,
                                                           const DownloadOutputOpener& openOutput, const DownloadResume& resume,
                                                           DownloadTimeouts timeouts, const juce::String& note, bool openOnAnswer)
{
    initialiseCurlOnce();

    // As on Windows: a plain attempt's file is opened before the connection is made.
    const auto openNow = ! resume.canResume() && ! openOnAnswer;
    auto output = openNow ? openOutput (0) : nullptr;

    if (openNow && output == nullptr)
        return nullptr;

    auto task = std::make_unique<CurlDownloadTask> (target, std::move (output), openOutput, resume);
    task->startNote = note;
    task->openOnAnswer = openOnAnswer;

    if (! task->configure (url.toString (true), timeouts))
        return nullptr;

    // Connect here, on the caller's thread, until the final answer's headers are in.
    while (! task->headersComplete)
    {
        if (juce::Thread::currentThreadShouldExit())
            return nullptr;

        if (const auto result = task->pump (connectPollMs))
        {
            if (task->askAgainPlainly)
                return begin (url, target, openOutput, {}, timeouts, task->startNote, true);

            if (! task->headersComplete)
                return nullptr;   // no answer: the Windows stack gives no task either

            task->finish (*result);   // the whole answer arrived at once
            return task;
        }
    }

    task->worker = std::thread ([raw = task.get()] { raw->run(); });
    return task;
}

CurlDownloadTask::CurlDownloadTask (const juce::File& target, std::unique_ptr<juce::OutputStream> out,
                                    const DownloadOutputOpener& opener, const DownloadResume& resumeFrom)
    : output (std::move (out)), openOutput (opener), resume (resumeFrom)
{
    targetLocation = target;
}

CurlDownloadTask::~CurlDownloadTask()
{
    cancelled = true;

    if (multi != nullptr)
        curl_multi_wakeup (multi);

    if (worker.joinable())
        worker.join();

    if (multi != nullptr)
    {
        if (easy != nullptr)
            curl_multi_remove_handle (multi, easy);

        curl_multi_cleanup (multi);
    }

    if (easy != nullptr)
        curl_easy_cleanup (easy);

    curl_slist_free_all (requestHeaders);
}

bool CurlDownloadTask::configure (const juce::String& address, DownloadTimeouts timeouts)
{
    easy = curl_easy_init();
    multi = curl_multi_init();

    if (easy == nullptr || multi == nullptr)
        return false;

    const auto ok = [] (CURLcode code) { return code == CURLE_OK; };

    // Only the rest, and only of the same file: a changed one comes whole (If-Range). A range
    // of our own, not curl's resume, which would refuse a whole answer instead of taking it.
    if (resume.canResume())
    {
        requestHeaders = curl_slist_append (nullptr, ("If-Range: " + resume.validators.ifRange()).toRawUTF8());

        if (requestHeaders == nullptr
             || ! ok (curl_easy_setopt (easy, CURLOPT_RANGE, (juce::String (resume.received) + "-").toRawUTF8()))
             || ! ok (curl_easy_setopt (easy, CURLOPT_HTTPHEADER, requestHeaders)))
            return false;
    }

    return ok (curl_easy_setopt (easy, CURLOPT_URL, address.toRawUTF8()))
        && ok (curl_easy_setopt (easy, CURLOPT_NOSIGNAL, 1L))
        && ok (curl_easy_setopt (easy, CURLOPT_BUFFERSIZE, receiveBufferSize))
        && ok (curl_easy_setopt (easy, CURLOPT_USERAGENT, "juce"))
        // A proxy's "200 Connection established" is the tunnel's, not an answer: never judged as one.
        && ok (curl_easy_setopt (easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L))
        // Redirects are followed, but never away from https.
        && ok (curl_easy_setopt (easy, CURLOPT_PROTOCOLS_STR, "https"))
        && ok (curl_easy_setopt (easy, CURLOPT_REDIR_PROTOCOLS_STR, "https"))
        && ok (curl_easy_setopt (easy, CURLOPT_FOLLOWLOCATION, 1L))
        && ok (curl_easy_setopt (easy, CURLOPT_MAXREDIRS, 5L))
        && ok (curl_easy_setopt (easy, CURLOPT_CONNECTTIMEOUT, (long) timeouts.connectSeconds))
        // Less than a byte a second for the whole period counts as a connection gone silent.
        && ok (curl_easy_setopt (easy, CURLOPT_LOW_SPEED_LIMIT, 1L))
        && ok (curl_easy_setopt (easy, CURLOPT_LOW_SPEED_TIME, (long) timeouts.idleSeconds))
        && ok (curl_easy_setopt (easy, CURLOPT_HEADERFUNCTION, &CurlDownloadTask::receiveHeader))
        && ok (curl_easy_setopt (easy, CURLOPT_HEADERDATA, this))
        && ok (curl_easy_setopt (easy, CURLOPT_WRITEFUNCTION, &CurlDownloadTask::receiveBody))
        && ok (curl_easy_setopt (easy, CURLOPT_WRITEDATA, this))
        && curl_multi_add_handle (multi, easy) == CURLM_OK;
}

std::optional<int> CurlDownloadTask::pump (int waitMs)
{
    // A failure of the multi interface itself ends the transfer as a failed one: going on would
    // turn a poll that no longer waits into a loop that spins a core.
    constexpr auto multiFailure = (int) CURLE_RECV_ERROR;

    int running = 0;

    if (curl_multi_perform (multi, &running) != CURLM_OK)
        return multiFailure;

    int queued = 0;

    while (auto* message = curl_multi_info_read (multi, &queued))
        if (message->msg == CURLMSG_DONE)
            return (int) message->data.result;

    if (curl_multi_poll (multi, nullptr, 0, waitMs, nullptr) != CURLM_OK)
        return multiFailure;

    return std::nullopt;
}

void CurlDownloadTask::run()
{
    while (! cancelled)
    {
        if (const auto result = pump (transferPollMs))
        {
            finish (*result);
            return;
        }
    }
}

void CurlDownloadTask::finish (int result)
{
    // Closed before the task reports that it has finished, as the framework's own task does.
    // Writes are unbuffered and each failed one ended the transfer with a write error, which is
    // ours, not the network's.
    output = nullptr;

    // A continuation is whole only at the complete length: one that ends before it was cut off,
    // whatever the connection said (a close can look like a proper end).
    const auto endedShort = result == CURLE_OK && resumed && downloaded < contentLength;
    const auto failed = result != CURLE_OK || endedShort;

    publishFinished (failed, endedShort || (result != CURLE_WRITE_ERROR && ! cancelled));
}

bool CurlDownloadTask::takeAnswer (int status)
{
    const RangedAnswer::Head head { status, contentRange, contentEncoding, contentLength,
                                    Validators::of (etag, lastModified, date) };

    coded = head.isCoded();
    validators = head.validatorsOfBody();

    if (! resume.canResume())
    {
        if (openOnAnswer)
            output = openOutput (0);

        return output != nullptr;   // else opened before connecting
    }

    switch (RangedAnswer::judge (resume, head, startNote))
    {
        case RangedAnswer::Use::append:
            output = openOutput (resume.received);

            if (output == nullptr)
            {
                startNote = RangedAnswer::keptPartGoneNote;
                askAgainPlainly = true;
                return false;
            }

            resumed = true;
            validators = resume.validators;   // the same file: the 206 named no other version
            contentLength = resume.completeLength;
            publishDownloaded (resume.received);
            break;

        case RangedAnswer::Use::fromZero:
            output = openOutput (0);
            break;

        case RangedAnswer::Use::askAgainPlainly:
            askAgainPlainly = true;
            return false;
    }

    return output != nullptr;
}

size_t CurlDownloadTask::receiveHeader (char* data, size_t size, size_t count, void* self)
{
    auto& task = *static_cast<CurlDownloadTask*> (self);
    const auto length = size * count;

    const auto valueOf = [data, length] (const char* name)
    {
        const auto skip = strlen (name);
        return juce::String::fromUTF8 (data + skip, (int) (length - skip)).trim();
    };

    if (startsWithIgnoreCase (data, length, "HTTP/"))
    {
        task.redirecting = false;
        task.etag = task.lastModified = task.date = task.contentRange = task.contentEncoding = {};
    }
    else if (startsWithIgnoreCase (data, length, "Location:"))
    {
        // curl follows no empty Location, so the answer is final: a server error, not a redirect.
        task.redirecting = valueOf ("Location:").isNotEmpty();
    }
    else if (startsWithIgnoreCase (data, length, "Date:"))
    {
        task.date = valueOf ("Date:");
    }
    else if (startsWithIgnoreCase (data, length, "Content-Encoding:"))
    {
        task.contentEncoding = valueOf ("Content-Encoding:");
    }
    else if (startsWithIgnoreCase (data, length, "ETag:"))
    {
        task.etag = valueOf ("ETag:");
    }
    else if (startsWithIgnoreCase (data, length, "Last-Modified:"))
    {
        task.lastModified = valueOf ("Last-Modified:");
    }
    else if (startsWithIgnoreCase (data, length, "Content-Range:"))
    {
        task.contentRange = valueOf ("Content-Range:");
    }
    else if (length <= 2 && (data[0] == '\r' || data[0] == '\n') && ! task.headersComplete)   // not a chunked body's trailers
    {
        long status = 0;

        if (curl_easy_getinfo (task.easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
            return 0;   // ends the transfer with an error

        const auto interim = status < 200 || (status >= 300 && status < 400 && task.redirecting);

        if (! interim)
        {
            curl_off_t announced = -1;

            if (curl_easy_getinfo (task.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK)
                announced = -1;

            task.httpCode = (int) status;
            task.contentLength = announced;

            if (! task.takeAnswer ((int) status))
                return 0;   // nothing to write it to, or nothing of it to use: no task

            task.headersComplete = true;
        }
    }

    return task.cancelled ? 0 : length;
}

size_t CurlDownloadTask::receiveBody (char* data, size_t size, size_t count, void* self)
{
    auto& task = *static_cast<CurlDownloadTask*> (self);
    const auto length = size * count;

    // More than a continuation's range is no part of this file.
    const auto tooLong = task.resumed && task.downloaded + (juce::int64) length > task.contentLength;

    if (task.cancelled || task.output == nullptr || tooLong || ! task.output->write (data, length))
        return 0;   // ends the transfer with an error

    task.publishDownloaded (task.downloaded + (juce::int64) length);
    return length;
}

} // namespace platform
