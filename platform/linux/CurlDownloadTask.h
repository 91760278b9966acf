#pragma once

#include "constants/Timings.h"
#include "platform/DownloadTask.h"

#include <atomic>
#include <optional>
#include <thread>

struct Curl_easy;
struct Curl_multi;
struct curl_slist;

namespace platform
{

/** Time limits of a download; the defaults are those of the Windows HTTP stack. */
struct DownloadTimeouts
{
    int connectSeconds = (int) Timings::connectTimeout.count();   // connection and TLS handshake
    int idleSeconds = (int) Timings::idleTimeout.count();         // a connection that delivers nothing for this long is given up
};

/** A download over libcurl with the meaning of one through the Windows HTTP stack: start()
    connects and reads the final answer's head on the caller's thread and returns null when none
    came (refused, unknown host, TLS failure, time-out); after that the body is written to the
    file on a thread of the task's own. libcurl only carries the requests and reads the bodies:
    redirects, framing and what a ranged answer is good for are the rules::AnswerJudge's, as on Windows.
*/
class CurlDownloadTask final : public DownloadTask
{
public:
    /** Writes into the file at `target`, opened through `openOutput`. */
    static std::unique_ptr<DownloadTask> start (const juce::URL& url, const juce::File& target,
                                                const DownloadOutputOpener& openOutput,
                                                const rules::DownloadResume& resume = {}, DownloadTimeouts timeouts = {},
                                                AttemptEnd* end = nullptr);

    CurlDownloadTask (const juce::File& target, const DownloadOutputOpener& openOutput, rules::AnswerJudge judge);

    /** Cancels a download still running and waits for its thread (a moment at most). */
    ~CurlDownloadTask() override;

private:
    bool send (const juce::StringArray& headers);
    void takeHead (const rules::AnswerHead& head);
    void releaseRequest();
    rules::AnswerJudge::Ending confirmEnd();
    std::optional<int> pump (int waitMs);
    void finish (int result);
    void run();

    static size_t receiveHeader (char* data, size_t size, size_t count, void* self);
    static size_t receiveBody (char* data, size_t size, size_t count, void* self);

    std::unique_ptr<juce::OutputStream> output;
    const DownloadOutputOpener openOutput;
    rules::AnswerJudge judge;
    std::optional<rules::AnswerJudge::Verdict> verdict;   // of the answer whose head has come in
    juce::StringArray headLines;                   // of the answer whose head is coming in
    bool probing = false;                          // asking what follows a chunked body (confirmEnd)
    std::optional<rules::AnswerHead> probeHead;
    DownloadTimeouts timeouts;
    Curl_easy* easy = nullptr;
    Curl_multi* multi = nullptr;
    curl_slist* requestHeaders = nullptr;
    char errorText[256] {};                        // libcurl's words for its last failure
    std::atomic<bool> cancelled { false };
    std::thread worker;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CurlDownloadTask)
};

} // namespace platform
