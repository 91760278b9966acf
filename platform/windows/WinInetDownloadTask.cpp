#include "WinInetDownloadTask.h"

#include "platform/BackgroundJobs.h"
#include "platform/Deadline.h"
#include "platform/RedirectLocation.h"

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

        /** Connects and sends, with `headers` ("Name: value\r\n" lines) added; blocks until the
            head of the answer is in. False when none came.
        */
        bool send (const juce::String& address, const juce::String& headers)
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
            const auto extra = headers.isEmpty() ? nullptr : headers.toWideCharPointer();
            const auto extraLength = headers.isEmpty() ? 0 : (DWORD) -1;
            const auto sent = HttpSendRequestW (sending, extra, extraLength, nullptr, 0)
                           || (GetLastError() == ERROR_INTERNET_FORCE_RETRY && HttpSendRequestW (sending, extra, extraLength, nullptr, 0));

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

        juce::String getLocation() const        { return queryText (HTTP_QUERY_LOCATION); }
        juce::String getContentRange() const    { return queryText (HTTP_QUERY_CONTENT_RANGE); }

        juce::String getValidator() const
        {
            return RangedAnswer::chooseValidator (queryText (HTTP_QUERY_ETAG), queryText (HTTP_QUERY_LAST_MODIFIED));
        }

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
    std::shared_ptr<Request> connect (const juce::String& address, const juce::String& headers)
    {
        struct Attempt
        {
            const std::shared_ptr<Request> request = std::make_shared<Request>();
            std::atomic<bool> answered { false };
            juce::WaitableEvent done;
        };

        const auto attempt = std::make_shared<Attempt>();

        if (! BackgroundJobs::launch ([attempt, address, headers]
                                      {
                                          attempt->answered = attempt->request->send (address, headers);
                                          attempt->done.signal();
                                      }))
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
    class WinInetDownloadTask final : public DownloadTask,
                                      private juce::Thread
    {
    public:
        /** `kept` bytes are in the file already when the answer continues them (resumed), and
            `keptValidator` is theirs.
        */
        WinInetDownloadTask (std::shared_ptr<Request> answered, const juce::File& target, std::unique_ptr<juce::OutputStream> output,
                             juce::int64 kept, const juce::String& note, const juce::String& keptValidator = {})
            : juce::Thread ("Download"), request (std::move (answered)), file (std::move (output)),
              body (request->getContentLength()), before (kept)
        {
            targetLocation = target;
            contentLength = body < 0 ? -1 : before + body;
            httpCode = request->getStatus();
            validator = request->getValidator();

            if (validator.isEmpty())
                validator = keptValidator;   // the same file: its validator stands
            resumed = kept > 0;
            startNote = note;
            downloaded = before;
            startThread();
        }

        ~WinInetDownloadTask() override
        {
            signalThreadShouldExit();
            request->cancel();

            // Let go of the file at once, even while a read the stack does not interrupt (Wine's,
            // on a stalled server) keeps the thread: the next attempt resumes in that file.
            {
                const juce::ScopedLock scopedLock (fileLock);
                file.reset();
            }

            waitForThreadToExit (-1);
        }

    private:
        void run() override
        {
            juce::HeapBlock<char> buffer (bufferSize);
            juce::int64 total = 0;
            auto readFailed = false, writeFailed = false;

            while (! threadShouldExit())
            {
                // Only the announced bytes are taken: a body longer than announced is cut there.
                const auto wanted = body < 0 ? bufferSize : (DWORD) juce::jmin ((juce::int64) bufferSize, body - total);

                if (wanted == 0)
                    break;

                const auto received = request->read (buffer.get(), wanted);

                if (received <= 0)
                {
                    readFailed = received < 0;
                    break;
                }

                {
                    const juce::ScopedLock scopedLock (fileLock);

                    if (file == nullptr || ! file->write (buffer.get(), (size_t) received))
                    {
                        writeFailed = true;
                        break;
                    }
                }

                total += received;
                publishDownloaded (before + total);
            }

            {
                const juce::ScopedLock scopedLock (fileLock);
                file.reset();   // closed before the task reports the end, so the file can be locked
            }

            // A read that failed or a body that ended early is the network's doing; a file that
            // could not be written, or a task cancelled, is not.
            const auto cutShort = readFailed || (body >= 0 && total < body);
            publishFinished (writeFailed || cutShort || threadShouldExit(), cutShort && ! writeFailed && ! threadShouldExit());
        }

        const std::shared_ptr<Request> request;
        juce::CriticalSection fileLock;
        std::unique_ptr<juce::OutputStream> file;
        const juce::int64 body, before;
    };

    /** The request's final answer, redirects followed with the same `headers` (never away from
        https, at most maxRedirects); null when there was none.
    */
    std::shared_ptr<Request> requestFollowingRedirects (const juce::URL& url, const juce::String& headers)
    {
        auto address = url.toString (true);

        for (int redirects = 0; redirects <= maxRedirects; ++redirects)
        {
            // Never away from https: a redirect to anything else is no answer at all.
            if (! address.startsWithIgnoreCase ("https://"))
                return nullptr;

            auto request = connect (address, headers);

            if (request == nullptr || ! isRedirect (request->getStatus()))
                return request;

            address = resolveRedirectLocation (address, request->getLocation());
        }

        return nullptr;   // too many redirects
    }
}

namespace
{
    /** A plain request; `note` is for the log, when it follows a ranged one that could not be used. */
    std::unique_ptr<DownloadTask> startPlainDownload (const juce::URL& url, const juce::File& target,
                                                      const DownloadOutputOpener& openOutput, const juce::String& note)
    {
        // As the framework does: the file is opened before the connection is made.
        auto output = openOutput (0);
        auto request = output != nullptr ? requestFollowingRedirects (url, {}) : nullptr;

        if (request == nullptr)
            return nullptr;

        return std::make_unique<WinInetDownloadTask> (std::move (request), target, std::move (output), 0, note);
    }
}

std::unique_ptr<DownloadTask> startWinInetDownload (const juce::URL& url, const juce::File& target,
                                                    const DownloadOutputOpener& openOutput, const DownloadResume& resume)
{
    if (! resume.canResume())
        return startPlainDownload (url, target, openOutput, {});

    // Only the rest, and only of the same file: a changed one comes whole (If-Range).
    auto request = requestFollowingRedirects (url, "Range: bytes=" + juce::String (resume.received) + "-\r\n"
                                                   + "If-Range: " + resume.validator + "\r\n");

    if (request == nullptr)
        return nullptr;   // nothing of the kept file touched

    juce::String note;

    switch (RangedAnswer::judge (resume, request->getStatus(), request->getContentRange(), request->getValidator(), note))
    {
        case RangedAnswer::Use::append:
            if (auto output = openOutput (resume.received))
                return std::make_unique<WinInetDownloadTask> (std::move (request), target, std::move (output), resume.received, note,
                                                              resume.validator);

            return nullptr;

        case RangedAnswer::Use::fromZero:
            if (auto output = openOutput (0))
                return std::make_unique<WinInetDownloadTask> (std::move (request), target, std::move (output), 0, note);

            return nullptr;

        case RangedAnswer::Use::askAgainPlainly:
            break;
    }

    request->cancel();
    return startPlainDownload (url, target, openOutput, note);
}

} // namespace platform
