#include "WinInetDownloadTask.h"

#include "platform/BackgroundJobs.h"
#include "platform/Deadline.h"
#include "platform/PublishedDownloadTask.h"

#include <windows.h>
#include <wininet.h>

namespace platform
{

namespace
{
    constexpr int maxRedirects = 5;
    constexpr DWORD bufferSize = 0x8000;

    // The framework's WinINet time-outs; the whole head of the answer must come within the same time.
    constexpr DWORD timeoutMs = 30000;
    constexpr int answerDeadlineMs = 30000;
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

    /** One https GET over WinINet, with the system's proxy settings. Sent with HttpSendRequest,
        not the framework's HttpSendRequestEx + HttpEndRequest: through a proxy, Wine's WinINet
        takes the proxy's answer to CONNECT for the server's with those, then waits for a body
        that never comes. Closing the request's handles from another thread (cancel) ends a call
        that is blocked in them, which is how WinINet is interrupted.
    */
    class Request
    {
    public:
        Request() = default;
        ~Request()    { cancel(); }

        /** Connects and sends; blocks until the head of the answer is in. False when none came. */
        bool send (const juce::String& address)
        {
            URL_COMPONENTSW parts {};
            parts.dwStructSize = sizeof (parts);
            parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;   // point into `address`

            const auto wide = address.toWideCharPointer();

            if (! InternetCrackUrlW (wide, 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS)
                return false;

            const juce::String host (parts.lpszHostName, parts.dwHostNameLength);
            const auto path = juce::String (parts.lpszUrlPath, parts.dwUrlPathLength)
                            + juce::String (parts.lpszExtraInfo, parts.dwExtraInfoLength);

            const auto sending = open (host, parts.nPort, path.isEmpty() ? juce::String ("/") : path);

            if (sending == nullptr)
                return false;

            // As the framework does: some authenticating proxies ask for the request once more.
            const auto sent = HttpSendRequestW (sending, nullptr, 0, nullptr, 0)
                           || (GetLastError() == ERROR_INTERNET_FORCE_RETRY && HttpSendRequestW (sending, nullptr, 0, nullptr, 0));

            return sent && cameThroughTls (sending);
        }

        int getStatus() const
        {
            DWORD status = 0, size = sizeof (status);
            return HttpQueryInfoW (current(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)
                       ? (int) status : 0;
        }

        /** The announced length, read as text so that lengths over 4 GiB stay whole; -1 when none. */
        juce::int64 getContentLength() const
        {
            const auto text = queryText (HTTP_QUERY_CONTENT_LENGTH);
            return text.isNotEmpty() && text.containsOnly ("0123456789") && text.length() <= 18
                       ? text.getLargeIntValue() : -1;
        }

        juce::String getLocation() const    { return queryText (HTTP_QUERY_LOCATION); }

        /** Up to `size` bytes of the body: 0 at its end, -1 when the read failed or was cancelled. */
        int read (void* buffer, DWORD size)
        {
            DWORD received = 0;
            return InternetReadFile (current(), buffer, size, &received) ? (int) received : -1;
        }

        /** Ends a send or read in progress on another thread; nothing is sent or read after it. */
        void cancel()
        {
            const juce::ScopedLock scopedLock (lock);
            cancelled = true;

            for (auto* handle : { &request, &connection, &session })
            {
                if (*handle != nullptr)
                    InternetCloseHandle (*handle);

                *handle = nullptr;
            }
        }

    private:
        HINTERNET open (const juce::String& host, INTERNET_PORT port, const juce::String& path)
        {
            const juce::ScopedLock scopedLock (lock);

            if (cancelled)
                return nullptr;

            session = InternetOpenW (L"juce", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);

            if (session == nullptr)
                return nullptr;

            DWORD disable = 1;
            InternetSetOptionW (session, INTERNET_OPTION_DISABLE_AUTODIAL, &disable, sizeof (disable));

            for (const DWORD option : { DWORD { INTERNET_OPTION_CONNECT_TIMEOUT }, DWORD { INTERNET_OPTION_RECEIVE_TIMEOUT },
                                        DWORD { INTERNET_OPTION_SEND_TIMEOUT }, DWORD { INTERNET_OPTION_DATA_RECEIVE_TIMEOUT },
                                        DWORD { INTERNET_OPTION_DATA_SEND_TIMEOUT } })
            {
                auto timeout = timeoutMs;
                InternetSetOptionW (session, option, &timeout, sizeof (timeout));
            }

            connection = InternetConnectW (session, host.toWideCharPointer(), port, nullptr, nullptr,
                                           INTERNET_SERVICE_HTTP, 0, 0);

            if (connection == nullptr)
                return nullptr;

            LPCWSTR acceptTypes[] = { L"*/*", nullptr };
            const DWORD flags = INTERNET_FLAG_SECURE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE
                              | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_UI;

            request = HttpOpenRequestW (connection, L"GET", path.toWideCharPointer(), nullptr, nullptr,
                                        acceptTypes, flags, 0);
            return request;
        }

        /** A proxy that refuses the tunnel answers itself (403, 407, 502...), and WinINet hands
            that on as the answer; only one that came over TLS is the server's.
        */
        static bool cameThroughTls (HINTERNET handle)
        {
            DWORD flags = 0, size = sizeof (flags);
            return InternetQueryOptionW (handle, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)
                && (flags & SECURITY_FLAG_SECURE) != 0;
        }

        HINTERNET current() const
        {
            const juce::ScopedLock scopedLock (lock);
            return request;
        }

        juce::String queryText (DWORD what) const
        {
            const auto handle = current();
            juce::HeapBlock<WCHAR> text;
            DWORD size = 256;

            for (int attempt = 0; attempt < 2; ++attempt)
            {
                text.calloc (size / sizeof (WCHAR) + 1);

                if (HttpQueryInfoW (handle, what, text.get(), &size, nullptr))
                    return juce::String (text.get()).trim();

                if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
                    break;
            }

            return {};
        }

        juce::CriticalSection lock;
        HINTERNET session = nullptr, connection = nullptr, request = nullptr;
        bool cancelled = false;

        JUCE_DECLARE_NON_COPYABLE (Request)
    };

    /** Sends on a thread of its own, so that the attempt ends by the deadline, or when the calling
        juce::Thread is asked to exit, even where WinINet overruns its time-outs (Wine's does for a
        server that never answers or never ends its headers). An attempt given up is cancelled and
        left to end by itself.
    */
    std::shared_ptr<Request> connect (const juce::String& address)
    {
        struct Attempt
        {
            const std::shared_ptr<Request> request = std::make_shared<Request>();
            std::atomic<bool> answered { false };
            juce::WaitableEvent done;
        };

        const auto attempt = std::make_shared<Attempt>();

        if (! BackgroundJobs::launch ([attempt, address] { attempt->answered = attempt->request->send (address); attempt->done.signal(); }))
            return nullptr;

        auto* const caller = juce::Thread::getCurrentThread();
        const Deadline deadline (answerDeadlineMs);

        while (! attempt->done.wait (pollMs))
        {
            if ((caller != nullptr && caller->threadShouldExit()) || deadline.hasPassed())
            {
                attempt->request->cancel();
                return nullptr;
            }
        }

        return attempt->answered ? attempt->request : nullptr;
    }

    /** Writes the body of an answered request to the file, on a thread of its own. */
    class WinInetDownloadTask final : public PublishedDownloadTask,
                                      private juce::Thread
    {
    public:
        WinInetDownloadTask (std::shared_ptr<Request> answered, const juce::File& target, std::unique_ptr<juce::OutputStream> output)
            : juce::Thread ("Download"), request (std::move (answered)), file (std::move (output))
        {
            targetLocation = target;
            contentLength = request->getContentLength();
            httpCode = request->getStatus();
            startThread();
        }

        ~WinInetDownloadTask() override
        {
            signalThreadShouldExit();
            request->cancel();
            waitForThreadToExit (-1);
        }

    private:
        void run() override
        {
            juce::HeapBlock<char> buffer (bufferSize);
            juce::int64 total = 0;
            auto failed = false;

            while (! threadShouldExit())
            {
                // Only the announced bytes are taken: a body longer than announced is cut there.
                const auto wanted = contentLength < 0 ? bufferSize
                                                      : (DWORD) juce::jmin ((juce::int64) bufferSize, contentLength - total);

                if (wanted == 0)
                    break;

                const auto received = request->read (buffer.get(), wanted);

                if (received <= 0)
                {
                    failed = received < 0;
                    break;
                }

                if (! file->write (buffer.get(), (size_t) received))
                {
                    failed = true;
                    break;
                }

                total += received;
                publishDownloaded (total);
            }

            file.reset();   // closed before the task reports the end, so the file can be locked

            publishFinished (failed || threadShouldExit() || (contentLength >= 0 && total < contentLength));
        }

        const std::shared_ptr<Request> request;
        std::unique_ptr<juce::OutputStream> file;
    };
}

std::unique_ptr<juce::URL::DownloadTask> startWinInetDownload (const juce::URL& url, const juce::File& target,
                                                               std::unique_ptr<juce::OutputStream> output)
{
    if (output == nullptr)
        return nullptr;

    auto address = url.toString (true);

    for (int redirects = 0; redirects <= maxRedirects; ++redirects)
    {
        // Never away from https: a redirect to anything else is no answer at all.
        if (! address.startsWithIgnoreCase ("https://"))
            return nullptr;

        auto request = connect (address);

        if (request == nullptr)
            return nullptr;

        if (! isRedirect (request->getStatus()))
            return std::make_unique<WinInetDownloadTask> (std::move (request), target, std::move (output));

        address = resolveLocation (address, request->getLocation());
    }

    return nullptr;   // too many redirects
}

} // namespace platform
