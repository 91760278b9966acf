// Typed handles, so that the header can name them without including curl.
#define CURL_STRICTER 1
#include "CurlDownloadTask.h"

#include "constants/Texts.h"

#include <curl/curl.h>

namespace platform
{

namespace
{
    constexpr int connectPollMs = Timings::inMilliseconds (Timings::attemptPoll);
    constexpr int transferPollMs = Timings::inMilliseconds (Timings::transferPoll);
    constexpr long receiveBufferSize = 256 * 1024;
    static_assert (CURL_ERROR_SIZE == 256, "the task's error buffer is libcurl's size");

    void initialiseCurlOnce()
    {
        [[maybe_unused]] static const auto result = curl_global_init (CURL_GLOBAL_DEFAULT);
    }
}

std::unique_ptr<DownloadTask> CurlDownloadTask::start (const juce::URL& url, const juce::File& target,
                                                       const DownloadOutputOpener& openOutput,
                                                       const rules::DownloadResume& resume, DownloadTimeouts timeouts,
                                                       AttemptEnd* end)
{
    initialiseCurlOnce();
    auto task = std::make_unique<CurlDownloadTask> (target, openOutput, rules::AnswerJudge (url.toString (true), resume));
    task->timeouts = timeouts;

    // As on Windows: a plain attempt's file is opened before the connection is made. A ranged
    // one's only once an answer is in, so that an attempt that fails leaves the kept bytes.
    if (! task->judge.isRanged() && (task->output = openOutput (0)) == nullptr)
        return nullptr;

    for (;;)
    {
        if (! task->send (task->judge.getRequestHeaders()))
            return nullptr;

        // Connect here, on the caller's thread, until the answer's head is judged.
        std::optional<int> result;

        while (! task->verdict.has_value() && ! result.has_value())
        {
            if (juce::Thread::currentThreadShouldExit())
                return nullptr;

            result = task->pump (connectPollMs);
        }

        // libcurl refuses some heads itself (a Content-Length that is no number, a line without a
        // colon, a NUL): the server did answer, and asking again would get the same for ever.
        if (! task->verdict.has_value() && result == (int) CURLE_WEIRD_SERVER_REPLY)
            if (const auto status = rules::AnswerHead::read (task->headLines).getStatus(); status != 0)
                return std::make_unique<RefusedAnswer> (target, status, task->judge,
                                                        Texts::Refusal::headRefused + juce::String (task->errorText) + ")");

        switch (task->verdict.value_or (rules::AnswerJudge::Verdict::retryLater))
        {
            case rules::AnswerJudge::Verdict::sendAgain:
                continue;

            case rules::AnswerJudge::Verdict::retryLater:
                if (end != nullptr && task->verdict.has_value())
                {
                    end->retryAfterSeconds = task->judge.getRetryAfterSeconds();
                    end->busyStatus = task->httpCode;
                }

                return nullptr;   // no answer (the Windows stack gives no task either), or not now

            case rules::AnswerJudge::Verdict::refuse:
                return std::make_unique<RefusedAnswer> (target, task->httpCode, task->judge);

            case rules::AnswerJudge::Verdict::write:
            case rules::AnswerJudge::Verdict::append:
                break;
        }

        if (task->output == nullptr)
            return nullptr;   // nothing to write it to

        if (result.has_value())
            task->finish (*result);   // the whole answer arrived at once
        else
            task->worker = std::thread ([raw = task.get()] { raw->run(); });

        return task;
    }
}

CurlDownloadTask::CurlDownloadTask (const juce::File& target, const DownloadOutputOpener& opener, rules::AnswerJudge attemptJudge)
    : openOutput (opener), judge (std::move (attemptJudge))
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

    releaseRequest();

    if (multi != nullptr)
        curl_multi_cleanup (multi);
}

void CurlDownloadTask::releaseRequest()
{
    if (easy != nullptr)
    {
        curl_multi_remove_handle (multi, easy);
        curl_easy_cleanup (easy);
        easy = nullptr;
    }

    curl_slist_free_all (requestHeaders);
    requestHeaders = nullptr;
}

bool CurlDownloadTask::send (const juce::StringArray& headers)
{
    // A request before this one (a redirect, a ranged answer of no use) has had its answer.
    releaseRequest();
    verdict.reset();
    headLines.clear();
    errorText[0] = 0;

    if (multi == nullptr && (multi = curl_multi_init()) == nullptr)
        return false;

    if ((easy = curl_easy_init()) == nullptr)
        return false;

    for (const auto& line : headers)
    {
        auto* const list = curl_slist_append (requestHeaders, line.toRawUTF8());

        if (list == nullptr)
            return false;

        requestHeaders = list;
    }

    const auto ok = [] (CURLcode code) { return code == CURLE_OK; };

    return ok (curl_easy_setopt (easy, CURLOPT_URL, judge.getAddress().toRawUTF8()))
        && ok (curl_easy_setopt (easy, CURLOPT_HTTPHEADER, requestHeaders))
        && ok (curl_easy_setopt (easy, CURLOPT_NOSIGNAL, 1L))
        && ok (curl_easy_setopt (easy, CURLOPT_ERRORBUFFER, errorText))
        && ok (curl_easy_setopt (easy, CURLOPT_BUFFERSIZE, receiveBufferSize))
        && ok (curl_easy_setopt (easy, CURLOPT_USERAGENT, "juce"))
        // What the Windows stack speaks, so that both are framed alike.
        && ok (curl_easy_setopt (easy, CURLOPT_HTTP_VERSION, (long) CURL_HTTP_VERSION_1_1))
        // A proxy's "200 Connection established" is the tunnel's, not an answer: never judged as one.
        && ok (curl_easy_setopt (easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L))
        // https only; redirects are the judge's to follow, never curl's.
        && ok (curl_easy_setopt (easy, CURLOPT_PROTOCOLS_STR, "https"))
        && ok (curl_easy_setopt (easy, CURLOPT_FOLLOWLOCATION, 0L))
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
    auto failed = result != CURLE_OK || endedShort;
    auto byNetwork = endedShort || (result != CURLE_WRITE_ERROR && ! cancelled);

    // libcurl tells a cut chunked body itself; the question is asked all the same, so that a
    // chunked body is taken on the same terms as on Windows.
    if (! failed && judge.needsConfirmation())
    {
        const auto ending = confirmEnd();
        failed = ending != rules::AnswerJudge::Ending::whole;
        byNetwork = ending == rules::AnswerJudge::Ending::cut;
        endUntold = ending == rules::AnswerJudge::Ending::unknown;
        refusal = judge.getRefusal();
    }

    publishFinished (failed, byNetwork);
}

rules::AnswerJudge::Ending CurlDownloadTask::confirmEnd()
{
    const auto received = downloaded;
    const auto headers = judge.getConfirmationHeaders (received);

    if (headers.isEmpty())
        return judge.confirm ({}, received);

    probing = true;
    std::optional<int> result;

    if (send (headers))
        while (! probeHead.has_value() && ! result.has_value() && ! cancelled)
            result = pump (transferPollMs);

    // No answer is the network's failure, as for the body itself.
    return probeHead.has_value() ? judge.confirm (*probeHead, received) : rules::AnswerJudge::Ending::cut;
}

void CurlDownloadTask::takeHead (const rules::AnswerHead& head)
{
    auto judged = judge.judge (head);
    httpCode = head.getStatus();

    if (judged == rules::AnswerJudge::Verdict::append)
    {
        const auto& resume = judge.getResume();
        output = openOutput (resume.received);

        if (output != nullptr)
        {
            contentLength = resume.completeLength;
            publishDownloaded (resume.received);
        }
        else
        {
            judged = judge.keptPartGone();
        }
    }
    else if (judged == rules::AnswerJudge::Verdict::write)
    {
        if (output == nullptr)
            output = openOutput (0);

        contentLength = judge.getBodyLength();
    }

    takeJudgement (judge, judged == rules::AnswerJudge::Verdict::append);
    verdict = judged;
}

size_t CurlDownloadTask::receiveHeader (char* data, size_t size, size_t count, void* self)
{
    auto& task = *static_cast<CurlDownloadTask*> (self);
    const auto length = size * count;

    // A chunked body's trailers come here too: only the head is read.
    if (task.verdict.has_value() && ! task.probing)
        return task.cancelled ? 0 : length;

    const auto line = rules::AnswerHead::lineFromBytes (data, length).trimCharactersAtEnd ("\r\n");

    if (line.startsWith ("HTTP/"))
        task.headLines.clearQuick();

    if (line.isNotEmpty())
    {
        task.headLines.add (line);
        return task.cancelled ? 0 : length;
    }

    const auto head = rules::AnswerHead::read (task.headLines);

    // An interim answer (1xx) is followed by the real one.
    if (head.getStatus() >= 100 && head.getStatus() < 200)
        return length;

    // Only the head of the answer to what follows a chunked body is wanted.
    if (task.probing)
    {
        task.probeHead = head;
        return 0;
    }

    task.takeHead (head);

    // Only a body to be taken, into a file that is open, flows on: else the transfer ends here.
    const auto takesBody = (*task.verdict == rules::AnswerJudge::Verdict::write || *task.verdict == rules::AnswerJudge::Verdict::append)
                        && task.output != nullptr;

    return task.cancelled || ! takesBody ? 0 : length;
}

size_t CurlDownloadTask::receiveBody (char* data, size_t size, size_t count, void* self)
{
    auto& task = *static_cast<CurlDownloadTask*> (self);
    const auto length = size * count;

    // More than a continuation's range is no part of this file.
    const auto tooLong = task.resumed && task.downloaded + (juce::int64) length > task.contentLength;

    if (task.cancelled || task.probing || task.output == nullptr || tooLong || ! task.output->write (data, length))
        return 0;   // ends the transfer with an error

    task.publishDownloaded (task.downloaded + (juce::int64) length);
    return length;
}

} // namespace platform
