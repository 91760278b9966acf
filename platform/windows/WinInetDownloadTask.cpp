#include "WinInetDownloadTask.h"

#include "constants/Texts.h"
#include "constants/Timings.h"
#include "platform/BackgroundJobs.h"
#include "platform/Deadline.h"
#include "windows/MachineTrust.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>

namespace platform
{

namespace
{
    constexpr DWORD bufferSize = 0x8000;

    // The framework's WinINet time-outs; the whole head of the answer must come within the same time.
    constexpr DWORD timeoutMs = (DWORD) Timings::inMilliseconds (Timings::connectTimeout);
    constexpr int answerDeadlineMs = Timings::inMilliseconds (Timings::connectTimeout);
    constexpr int pollMs = Timings::inMilliseconds (Timings::attemptPoll);

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

            if (! sent || ! (answeredThroughTls || cameThroughTls (sending)))
                return false;

            // WinINet judged the server by the current user's roots, which any program of the
            // user can add to: the certificate it received is judged again by the machine's alone.
            if (const auto untrusted = checkServerCertificate (sending, host); untrusted != 0)
            {
                refusal = Texts::Connection::notMachineTrusted + juce::String::toHexString ((int) untrusted) + ")";
                return false;
            }

            return true;
        }

        /** Why an answer that came was not taken (empty when none came, or it was taken); read
            once send() has returned.
        */
        const juce::String& getRefusal() const noexcept    { return refusal; }

        /** The answer's status line and header lines, as they came. */
        juce::StringArray getHeadLines() const
        {
            juce::StringArray lines;
            lines.addLines (queryText (HTTP_QUERY_RAW_HEADERS_CRLF));
            return lines;
        }

        /** Up to `size` bytes of the body, as many as have arrived (at least one): 0 at its end, -1
            when the read failed or was cancelled. A plain read returns only once `size` bytes are in,
            so that on a slow link the count would move in whole buffers and look stalled.
        */
        int read (void* buffer, DWORD size)
        {
            const auto handle = current();
            DWORD available = 0, received = 0;

            if (! InternetQueryDataAvailable (handle, &available, 0, 0))
                return -1;

            if (available == 0)
                return 0;

            return InternetReadFile (handle, buffer, juce::jmin (size, available), &received) ? (int) received : -1;
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

            speakHttp11Everywhere();
            session = InternetOpenW (L"juce", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);

            if (session == nullptr)
                return nullptr;

            DWORD disable = 1;
            InternetSetOptionW (session, INTERNET_OPTION_DISABLE_AUTODIAL, &disable, sizeof (disable));

            // HTTP/1.1 only, whatever the machine's policy enables: the judge reads answers as the
            // Linux build's libcurl gets them. A stack too old for the option has no HTTP/2 anyway.
            DWORD optionalProtocols = 0;
            InternetSetOptionW (session, INTERNET_OPTION_ENABLE_HTTP_PROTOCOL, &optionalProtocols, sizeof (optionalProtocols));

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

            // The context names this request to its status callback (WinINet calls none for a 0).
            request = HttpOpenRequestW (connection, L"GET", path.toWideCharPointer(), L"HTTP/1.1", nullptr,
                                        acceptTypes, flags, reinterpret_cast<DWORD_PTR> (this));

            if (request != nullptr)
                InternetSetStatusCallbackW (request, &Request::statusChanged);

            return request;
        }

        /** WinINet's process-wide version (set on no handle): without it a machine where "use
            HTTP 1.1 through proxy connections" is off sends HTTP/1.0 to its proxy.
        */
        static void speakHttp11Everywhere()
        {
            static const auto once = []
            {
                HTTP_VERSION_INFO version { 1, 1 };
                return InternetSetOptionW (nullptr, INTERNET_OPTION_HTTP_VERSION, &version, sizeof (version));
            }();

            juce::ignoreUnused (once);
        }

        /** 0 when the certificate the server gave for this request has a chain to a root the
            machine trusts and is valid for `host`, else why not. A WinINet that cannot hand the
            certificate out (the option unknown: reasoned, an older Windows) leaves its own
            check to stand.
        */
        static std::uint32_t checkServerCertificate (HINTERNET handle, const juce::String& host)
        {
            PCCERT_CHAIN_CONTEXT received = nullptr;
            DWORD size = sizeof (received);

            if (! InternetQueryOptionW (handle, INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT, &received, &size) || received == nullptr)
                return GetLastError() == ERROR_INTERNET_INVALID_OPTION ? 0 : 0x800b010a;   // CERT_E_CHAINING

            const auto* leaf = received->cChain > 0 && received->rgpChain[0]->cElement > 0
                                   ? received->rgpChain[0]->rgpElement[0]->pCertContext
                                   : nullptr;
            SSL_EXTRA_CERT_CHAIN_POLICY_PARA server {};
            server.cbSize = sizeof (server);
            server.dwAuthType = AUTHTYPE_SERVER;
            server.pwszServerName = const_cast<wchar_t*> (host.toWideCharPointer());
            const auto result = checkMachineTrust (leaf, leaf != nullptr ? leaf->hCertStore : nullptr, nullptr,
                                                   { szOID_PKIX_KP_SERVER_AUTH, CERT_CHAIN_POLICY_SSL, &server, 0 });
            CertFreeCertificateChain (received);
            return result;
        }

        /** A proxy that refuses the tunnel answers itself (403, 407, 502...), and WinINet hands
            that on as the answer; only one that came over TLS is the server's. Asked when the head
            is in, while the request still holds its connection: once an answer's whole body is in
            (an empty one at once) WinINet gives the connection back to its pool, and the request
            alone no longer says how it came.
        */
        static bool cameThroughTls (HINTERNET handle)
        {
            DWORD flags = 0, size = sizeof (flags);
            return InternetQueryOptionW (handle, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)
                && (flags & SECURITY_FLAG_SECURE) != 0;
        }

        /** Called on the sending thread, inside HttpSendRequestW: each head that comes in (the
            proxy's answer to CONNECT first, when there is one) says for itself how it came.
        */
        static void CALLBACK statusChanged (HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID, DWORD)
        {
            if (status == INTERNET_STATUS_RESPONSE_RECEIVED && context != 0)
                reinterpret_cast<Request*> (context)->answeredThroughTls = cameThroughTls (handle);
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
        bool answeredThroughTls = false;   // the sending thread's own
        juce::String refusal;              // the sending thread's, until send() returns

        JUCE_DECLARE_NON_COPYABLE (Request)
    };

    /** Closes a request's handles on a job of its own: closing a handle can block inside WinINet
        (seen under Wine, a redirect chain on kept-alive connections stopped between two hops and
        the attempt never ended), and an attempt must end by its deadline whatever the stack does.
    */
    void closeElsewhere (std::shared_ptr<Request> request)
    {
        if (! BackgroundJobs::launch ([request] { request->cancel(); }))
            request->cancel();
    }

    /** Sends on a thread of its own, so that the attempt ends by the deadline, or when the calling
        juce::Thread is asked to exit, even where WinINet overruns its time-outs (Wine's does for a
        server that never answers or never ends its headers). An attempt given up is cancelled and
        left to end by itself.
    */
    std::shared_ptr<Request> connect (const juce::String& address, const juce::String& headers, juce::Result* refusal = nullptr)
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
                closeElsewhere (attempt->request);
                return nullptr;
            }
        }

        // The sending job has ended: what it set is ours to read.
        if (! attempt->answered && refusal != nullptr && attempt->request->getRefusal().isNotEmpty())
            *refusal = juce::Result::fail (attempt->request->getRefusal());

        return attempt->answered ? attempt->request : nullptr;
    }

    /** Writes the body of an answered request to the file, on a thread of its own. */
    class WinInetDownloadTask final : public DownloadTask,
                                      private juce::Thread
    {
    public:
        /** The body of the answer with this `status` that `judge` let through: whole, or
            continuing the kept bytes when `appended`.
        */
        WinInetDownloadTask (std::shared_ptr<Request> answered, int status, const rules::AnswerJudge& attemptJudge, bool appended,
                             const juce::File& target, std::unique_ptr<juce::OutputStream> output)
            : juce::Thread ("Download"), request (std::move (answered)), judge (attemptJudge), file (std::move (output)),
              before (appended ? attemptJudge.getResume().received : 0),
              // A continuation is measured by its Content-Range, a chunked body by its chunks,
              // never by a Content-Length that does not frame it.
              body (attemptJudge.getBodyLength()),
              exactEnd (appended)
        {
            targetLocation = target;
            contentLength = body < 0 ? -1 : before + body;
            httpCode = status;
            takeJudgement (attemptJudge, appended);
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
            auto readFailed = false, writeFailed = false, tooLong = false;

            while (! threadShouldExit())
            {
                // Only the announced bytes are taken: a body longer than announced is cut there.
                const auto wanted = body < 0 ? bufferSize : (DWORD) juce::jmin ((juce::int64) bufferSize, body - total);

                if (wanted == 0)
                {
                    // A continuation must end where its range does, whatever frames it.
                    char extra = 0;
                    tooLong = exactEnd && request->read (&extra, 1) > 0;
                    break;
                }

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
            // could not be written, a body longer than its range, or a task cancelled, is not.
            auto cutShort = readFailed || (body >= 0 && total < body);
            const auto ours = writeFailed || tooLong || threadShouldExit();
            auto unconfirmed = false;

            if (! cutShort && ! ours && judge.needsConfirmation())
            {
                const auto ending = confirmEnd (total);
                cutShort = ending == rules::AnswerJudge::Ending::cut;
                unconfirmed = ending == rules::AnswerJudge::Ending::unconfirmed || ending == rules::AnswerJudge::Ending::unknown;
                endUntold = ending == rules::AnswerJudge::Ending::unknown;
                refusal = judge.getRefusal();
            }

            publishFinished (ours || cutShort || unconfirmed, cutShort && ! ours);
        }

        /** WinINet ends a chunked body cut before its last chunk as if it were whole (Wine's
            does): what follows it is asked for, and the judge says what the answer shows.
        */
        rules::AnswerJudge::Ending confirmEnd (juce::int64 received)
        {
            const auto headers = judge.getConfirmationHeaders (received);

            if (headers.isEmpty())
                return judge.confirm ({}, received);

            const auto probe = connect (judge.getAddress(), headers.joinIntoString ("\r\n") + "\r\n");

            // No answer is the network's failure, as for the body itself.
            return probe != nullptr ? judge.confirm (rules::AnswerHead::read (probe->getHeadLines()), received)
                                    : rules::AnswerJudge::Ending::cut;
        }

        const std::shared_ptr<Request> request;
        rules::AnswerJudge judge;
        juce::CriticalSection fileLock;
        std::unique_ptr<juce::OutputStream> file;
        const juce::int64 before, body;
        const bool exactEnd;
    };
}

std::unique_ptr<DownloadTask> startWinInetDownload (const juce::URL& url, const juce::File& target,
                                                    const DownloadOutputOpener& openOutput, const rules::DownloadResume& resume,
                                                    AttemptEnd* end)
{
    rules::AnswerJudge judge (url.toString (true), resume);

    // Never away from https (an empty address included: no table row, no connection); the
    // judge's redirects lead to https only.
    if (! judge.getAddress().startsWithIgnoreCase ("https://"))
        return nullptr;

    // As the framework does, a plain attempt's file is emptied before the connection is made; a
    // ranged one's only once an answer is in, so that an attempt that fails leaves the kept bytes.
    auto output = judge.isRanged() ? nullptr : openOutput (0);

    if (! judge.isRanged() && output == nullptr)
        return nullptr;

    for (;;)
    {
        auto headers = judge.getRequestHeaders().joinIntoString ("\r\n");
        auto request = connect (judge.getAddress(), headers + "\r\n", end != nullptr ? &end->refusal : nullptr);

        if (request == nullptr)
            return nullptr;   // no answer: nothing of the kept file touched

        const auto head = rules::AnswerHead::read (request->getHeadLines());

        switch (judge.judge (head))
        {
            case rules::AnswerJudge::Verdict::sendAgain:
                break;

            case rules::AnswerJudge::Verdict::retryLater:
                if (end != nullptr)
                {
                    end->retryAfterSeconds = judge.getRetryAfterSeconds();
                    end->busyStatus = head.getStatus();
                }

                closeElsewhere (std::move (request));
                return nullptr;

            case rules::AnswerJudge::Verdict::refuse:
                closeElsewhere (std::move (request));
                return std::make_unique<RefusedAnswer> (target, head.getStatus(), judge);

            case rules::AnswerJudge::Verdict::append:
                if (auto kept = openOutput (judge.getResume().received))
                    return std::make_unique<WinInetDownloadTask> (std::move (request), head.getStatus(), judge, true,
                                                                  target, std::move (kept));

                judge.keptPartGone();
                break;

            case rules::AnswerJudge::Verdict::write:
                if (output == nullptr)
                    output = openOutput (0);

                if (output == nullptr)
                    return nullptr;

                return std::make_unique<WinInetDownloadTask> (std::move (request), head.getStatus(), judge, false,
                                                              target, std::move (output));
        }

        closeElsewhere (std::move (request));
    }
}

} // namespace platform
