#include "WinInetDownloadTask.h"

namespace platform
{

namespace
{
    constexpr int maxRedirects = 5;
    constexpr size_t bufferSize = 0x8000;

    // The framework asks WinINet for 30 s connect and receive time-outs; the whole head of the
    // answer must come within the same time.
    constexpr juce::uint32 answerDeadlineMs = 30000;
    constexpr int pollMs = 50;

    bool isRedirect (int status)
    {
        return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    }

    /** Where a redirect leads, relative locations resolved against the address that gave it. */
    juce::String resolveLocation (const juce::String& from, const juce::String& location)
    {
        if (location.contains ("://"))
            return location;

        if (location.startsWithChar ('/'))
            return juce::URL (from).withNewSubPath (location.substring (1)).toString (true);

        return from.upToLastOccurrenceOf ("/", true, false) + location;
    }

    /** Connects on a thread of its own, so that the attempt ends by the deadline, or when the
        calling juce::Thread is asked to exit, even where WinINet overruns its time-outs (Wine's
        does for a server that never answers or never ends its headers). An attempt given up is
        cancelled and left to end by itself.
    */
    std::unique_ptr<juce::WebInputStream> connect (const juce::String& address)
    {
        struct Attempt
        {
            std::unique_ptr<juce::WebInputStream> stream;
            std::atomic<bool> connected { false };
            juce::WaitableEvent done;
        };

        auto attempt = std::make_shared<Attempt>();
        attempt->stream = std::make_unique<juce::WebInputStream> (juce::URL (address), false);
        attempt->stream->withNumRedirectsToFollow (0);

        if (! juce::Thread::launch ([attempt] { attempt->connected = attempt->stream->connect (nullptr); attempt->done.signal(); }))
            return nullptr;

        auto* const caller = juce::Thread::getCurrentThread();
        const auto deadline = juce::Time::getMillisecondCounter() + answerDeadlineMs;

        while (! attempt->done.wait (pollMs))
        {
            if ((caller != nullptr && caller->threadShouldExit()) || juce::Time::getMillisecondCounter() > deadline)
            {
                attempt->stream->cancel();
                return nullptr;
            }
        }

        return attempt->connected ? std::move (attempt->stream) : nullptr;
    }

    /** The framework's own download loop, reading from a stream that is already connected. */
    class WinInetDownloadTask final : public juce::URL::DownloadTask,
                                      private juce::Thread
    {
    public:
        WinInetDownloadTask (std::unique_ptr<juce::WebInputStream> connected, std::unique_ptr<juce::FileOutputStream> output)
            : juce::Thread ("Download"), stream (std::move (connected)), file (std::move (output))
        {
            targetLocation = file->getFile();
            contentLength = stream->getTotalLength();
            httpCode = stream->getStatusCode();
            startThread();
        }

        ~WinInetDownloadTask() override
        {
            signalThreadShouldExit();
            stream->cancel();
            waitForThreadToExit (-1);
        }

    private:
        void run() override
        {
            juce::HeapBlock<char> buffer (bufferSize);

            while (! (stream->isExhausted() || stream->isError() || threadShouldExit()))
            {
                const auto wanted = contentLength < 0 ? (juce::int64) bufferSize
                                                      : juce::jmin ((juce::int64) bufferSize, contentLength - downloaded);
                const auto read = stream->read (buffer.get(), (int) wanted);

                if (read < 0 || threadShouldExit() || stream->isError())
                    break;

                if (! file->write (buffer.get(), (size_t) read))
                {
                    error = true;
                    break;
                }

                downloaded += read;

                if (downloaded == contentLength)
                    break;
            }

            file.reset();   // closed before the task reports the end, so the file can be locked

            if (threadShouldExit() || stream->isError() || (contentLength > 0 && downloaded < contentLength))
                error = true;

            finished = true;
        }

        const std::unique_ptr<juce::WebInputStream> stream;
        std::unique_ptr<juce::FileOutputStream> file;
    };
}

std::unique_ptr<juce::URL::DownloadTask> startWinInetDownload (const juce::URL& url, const juce::File& target)
{
    target.deleteFile();
    auto output = target.createOutputStream (bufferSize);

    if (output == nullptr)
        return nullptr;

    auto address = url.toString (true);

    for (int redirects = 0; redirects <= maxRedirects; ++redirects)
    {
        // Never away from https: a redirect to anything else is no answer at all.
        if (! address.startsWithIgnoreCase ("https://"))
            return nullptr;

        auto stream = connect (address);

        if (stream == nullptr)
            return nullptr;

        if (! isRedirect (stream->getStatusCode()))
            return std::make_unique<WinInetDownloadTask> (std::move (stream), std::move (output));

        address = resolveLocation (address, stream->getResponseHeaders()["Location"]);
    }

    return nullptr;   // too many redirects
}

} // namespace platform
