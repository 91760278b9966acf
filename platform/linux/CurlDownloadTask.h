#pragma once

#include "platform/PublishedDownloadTask.h"

#include <atomic>
#include <optional>
#include <thread>

struct Curl_easy;
struct Curl_multi;

namespace platform
{

/** Time limits of a download; the defaults are those of the Windows HTTP stack. */
struct DownloadTimeouts
{
    int connectSeconds = 30;   // connection and TLS handshake
    int idleSeconds = 30;      // a connection that delivers nothing for this long is given up
};

/** A download over libcurl with the meaning of one through the Windows HTTP stack: start()
    connects and reads the final answer's headers on the caller's thread and returns null when
    none came (refused, unknown host, TLS failure, too many redirects, time-out); after that the
    body is written to the file on a thread of the task's own.
*/
class CurlDownloadTask final : public PublishedDownloadTask
{
public:
    /** Writes into `output`, the file at `target`; null without an output. */
    static std::unique_ptr<juce::URL::DownloadTask> start (const juce::URL& url, const juce::File& target,
                                                           std::unique_ptr<juce::OutputStream> output,
                                                           DownloadTimeouts timeouts = {});

    /** Writes into a file it makes at `target` by path, replacing what is there (tests). */
    static std::unique_ptr<juce::URL::DownloadTask> start (const juce::URL& url, const juce::File& target,
                                                           DownloadTimeouts timeouts = {});

    CurlDownloadTask (const juce::File& target, std::unique_ptr<juce::OutputStream> output);

    /** Cancels a download still running and waits for its thread (a moment at most). */
    ~CurlDownloadTask() override;

private:
    bool configure (const juce::String& address, DownloadTimeouts timeouts);
    std::optional<int> pump (int waitMs);
    void finish (int result);
    void run();

    static size_t receiveHeader (char* data, size_t size, size_t count, void* self);
    static size_t receiveBody (char* data, size_t size, size_t count, void* self);

    std::unique_ptr<juce::OutputStream> output;
    Curl_easy* easy = nullptr;
    Curl_multi* multi = nullptr;
    bool headersComplete = false, redirecting = false;
    std::atomic<bool> cancelled { false };
    std::thread worker;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CurlDownloadTask)
};

} // namespace platform
