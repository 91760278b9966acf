// One judge for every answer, fed the same facts by both systems' layers: which answers are
// followed, taken, refused or tried again later, whatever each system's HTTP stack would do.

#include "rules/AnswerJudge.h"

#include <gtest/gtest.h>

using rules::AnswerHead;
using rules::AnswerJudge;
using Verdict = rules::AnswerJudge::Verdict;

namespace
{
    const juce::String first ("https://a.example:8443/r1/x.exe");

    rules::AnswerHead head (const juce::StringArray& lines)    { return rules::AnswerHead::read (lines); }

    rules::AnswerHead redirect (int status, const juce::String& location)
    {
        return head ({ "HTTP/1.1 " + juce::String (status) + " Moved", "Location: " + location, "Content-Length: 0" });
    }

    rules::DownloadResume keptAt (const juce::String& address)
    {
        return { 100, 1000, rules::Validators::of ("\"v1\"", {}, {}), address };
    }
}

TEST (AnswerJudge, FollowsOnlyMovesWithAUsableHttpsLocation)
{
    const struct { int status; const char* location; Verdict verdict; const char* result; } cases[] = {
        // Which statuses are redirects: 300, 304 and 305 are final answers even with a Location.
        { 301, "/files/x.exe", Verdict::sendAgain, "https://a.example:8443/files/x.exe" },
        { 302, "/files/x.exe", Verdict::sendAgain, "https://a.example:8443/files/x.exe" },
        { 303, "/files/x.exe", Verdict::sendAgain, "https://a.example:8443/files/x.exe" },
        { 307, "/files/x.exe", Verdict::sendAgain, "https://a.example:8443/files/x.exe" },
        { 308, "/files/x.exe", Verdict::sendAgain, "https://a.example:8443/files/x.exe" },
        { 300, "/files/x.exe", Verdict::write,     "" },
        { 304, "/files/x.exe", Verdict::write,     "" },
        { 305, "/files/x.exe", Verdict::write,     "" },
        { 302, "",             Verdict::write,     "" },
        // Which Location forms lead where.
        { 302, "https://b.example/y.exe",  Verdict::sendAgain, "https://b.example/y.exe" },
        { 302, "HTTPS://B.example:9/y",    Verdict::sendAgain, "HTTPS://B.example:9/y" },
        { 302, "https://[::1]:8443/y.exe", Verdict::sendAgain, "https://[::1]:8443/y.exe" },
        { 302, "//b.example/y.exe",        Verdict::sendAgain, "https://b.example/y.exe" },
        { 302, "../r2/y.exe",              Verdict::sendAgain, "https://a.example:8443/r2/y.exe" },
        { 302, "?from=top",                Verdict::sendAgain, "https://a.example:8443/r1/x.exe?from=top" },
        { 302, "http://a.example/x.exe",   Verdict::refuse,    "redirected away from https (http://a.example/x.exe)" },
        { 302, "ftp://a.example/x.exe",    Verdict::refuse,    "redirected away from https (ftp://a.example/x.exe)" },
        { 302, "https:/a.example/x.exe",   Verdict::refuse,    "redirected to an unusable address (https:/a.example/x.exe)" },
        { 302, "https:x.exe",              Verdict::refuse,    "redirected to an unusable address (https:x.exe)" },
        { 302, "https:///x.exe",           Verdict::refuse,    "redirected to an unusable address (https:///x.exe)" },
        { 302, "https://b.example:99999/", Verdict::refuse,    "redirected to an unusable address (https://b.example:99999/)" },
        { 302, "https://b_x.example/y",    Verdict::refuse,    "redirected to an unusable address (https://b_x.example/y)" },
        { 302, "/a b.exe",                 Verdict::sendAgain, "https://a.example:8443/a%20b.exe" },
        { 302, "/a\tb.exe",                Verdict::refuse,    "redirected to an unusable address (/a\tb.exe)" },
        { 302, "https://a.example:8443/r1/x.exe#top", Verdict::refuse, "redirected in a loop (https://a.example:8443/r1/x.exe)" },
        { 302, "HTTPS://A.EXAMPLE:8443/r1/x.exe",     Verdict::refuse, "redirected in a loop (HTTPS://A.EXAMPLE:8443/r1/x.exe)" },
    };

    for (const auto& c : cases)
    {
        rules::AnswerJudge judge (first, {});
        const auto verdict = judge.judge (redirect (c.status, c.location));

        EXPECT_EQ (verdict, c.verdict) << c.status << " " << c.location;
        EXPECT_EQ (verdict == Verdict::refuse ? judge.getRefusal() : verdict == Verdict::sendAgain ? judge.getAddress() : juce::String(),
                   juce::String (c.result)) << c.status << " " << c.location;
    }
}

TEST (AnswerJudge, ARedirectChainEndsWithinFiveHopsAndNeverReturns)
{
    rules::AnswerJudge judge (first, {});

    for (int hop = 1; hop <= 5; ++hop)
        ASSERT_EQ (judge.judge (redirect (302, "/hop" + juce::String (hop))), Verdict::sendAgain);

    EXPECT_EQ (judge.judge (redirect (302, "/hop6")), Verdict::refuse);
    EXPECT_EQ (judge.getRefusal(), "more than 5 redirects");

    rules::AnswerJudge back (first, {});
    ASSERT_EQ (back.judge (redirect (307, "https://b.example/y")), Verdict::sendAgain);
    EXPECT_EQ (back.judge (redirect (301, first)), Verdict::refuse);
    EXPECT_EQ (back.getRefusal(), "redirected in a loop (" + first + ")");
}

TEST (AnswerJudge, TakesAWholeFileOnlyWhenItsEndCanBeToldAndItsBytesAreTheFiles)
{
    const auto ok = juce::String ("HTTP/1.1 200 OK");
    const struct { juce::StringArray lines; Verdict verdict; juce::int64 length; const char* refusal; } cases[] = {
        { { ok, "Content-Length: 1000" },                                     Verdict::write,  1000, "" },
        { { ok, "Transfer-Encoding: chunked" },                               Verdict::write,  -1,   "" },
        { { ok, "transfer-encoding: Chunked", "Content-Length: 500" },        Verdict::write,  -1,   "" },   // chunks frame it
        { { ok, "Content-Length: 500", "Transfer-Encoding: chunked" },        Verdict::write,  -1,   "" },
        { { "HTTP/2 200" },                                                   Verdict::write,  -1,   "" },   // the stream's end frames it
        // A stream reset reported as its end is still told by the length announced.
        { { "HTTP/2 200", "content-length: 1000" },                           Verdict::write,  1000, "" },
        { { "HTTP/3 200", "content-length: 1000" },                           Verdict::write,  1000, "" },
        { { "HTTP/2 200", "content-length: abc" },                            Verdict::refuse, -1,   "the body's length is not one number (Content-Length: abc)" },
        { { "HTTP/2 200", "content-length: 10", "content-length: 20" },       Verdict::refuse, -1,   "the body's length is not one number (Content-Length: 10, 20)" },
        { { "HTTP/1.1 404 Not Found" },                                       Verdict::write,  -1,   "" },   // no file either way
        { { ok },                                                             Verdict::refuse, -1,   "the body's end cannot be told from a cut (no Content-Length, not chunked)" },
        { { "HTTP/1.0 200 OK" },                                              Verdict::refuse, -1,   "the body's end cannot be told from a cut (no Content-Length, not chunked)" },
        { { ok, "Transfer-Encoding: gzip, chunked" },                         Verdict::refuse, -1,   "the body has a transfer coding other than chunked (gzip, chunked)" },
        { { ok, "Transfer-Encoding: chunked", "Transfer-Encoding: gzip" },    Verdict::refuse, -1,   "the body has a transfer coding other than chunked (chunked, gzip)" },
        { { ok, "Content-Length: 1000", "Content-Length: 1000" },             Verdict::refuse, -1,   "the body's length is not one number (Content-Length: 1000, 1000)" },
        { { ok, "Content-Length: 1000, 1000" },                               Verdict::refuse, -1,   "the body's length is not one number (Content-Length: 1000, 1000)" },
        { { ok, "Content-Length: -5" },                                       Verdict::refuse, -1,   "the body's length is not one number (Content-Length: -5)" },
        { { ok, "Content-Length: 10", "Content-Encoding: identity", "Content-Encoding: gzip" }, Verdict::refuse, -1, "the body is encoded (identity, gzip)" },
        { { ok, "Content-Length: 10", "Content-Encoding: identity" },         Verdict::write,  10,   "" },
        // A line naming no field: libcurl refuses such a head, so every build does.
        { { ok, "Content-Length: 10", "X-No-Colon" },                         Verdict::refuse, -1,   "the answer's head has a line without a colon (X-No-Colon)" },
        { { "HTTP/1.1 302 Found", "Location: /y.exe", "X-No-Colon" },         Verdict::refuse, -1,   "the answer's head has a line without a colon (X-No-Colon)" },
        { { ok, "Content-Length: 10", "X-Long:", " folded", "Content-Encoding:", " gzip" }, Verdict::refuse, -1, "the body is encoded ( gzip)" },
    };

    for (const auto& c : cases)
    {
        rules::AnswerJudge judge (first, {});
        const auto verdict = judge.judge (head (c.lines));

        EXPECT_EQ (verdict, c.verdict) << c.lines.joinIntoString (" | ");
        EXPECT_EQ (judge.getRefusal(), juce::String (c.refusal));

        EXPECT_EQ (judge.getBodyLength(), c.length) << c.lines.joinIntoString (" | ");
    }
}

TEST (AnswerJudge, KnowsTheFileByItsValidatorsOnlyWhenEachCameOnce)
{
    const struct { juce::StringArray lines; juce::String ifRange; } cases[] = {
        { { "HTTP/1.1 200 OK", "Content-Length: 1", "ETag: \"v1\"" },                  "\"v1\"" },
        { { "HTTP/1.1 200 OK\r", "Content-Length: 1\r", "ETag: \"v1\"\r", "\r", "ETag: \"after the head\"" }, "\"v1\"" },
        { { "HTTP/1.1 200 OK", "Content-Length: 1", "ETag: \"v1\"", "ETag: \"v1\"" },  "" },
        { { "HTTP/1.1 200 OK", "Content-Length: 1", "ETag: \"v1\"", "ETag: \"v2\"" },  "" },
        { { "HTTP/1.1 200 OK", "Content-Length: 1", "ETag: \"v1\"", "Last-Modified: Tue, 02 Jan 2024 10:00:00 GMT",
            "Last-Modified: Wed, 03 Jan 2024 10:00:00 GMT" },                          "" },
        { { "HTTP/1.1 200 OK", "Content-Length: 1", "Content-Encoding: gzip", "ETag: \"v1\"" }, "" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (head (c.lines).validatorsOfBody().ifRange(), c.ifRange) << c.lines.joinIntoString (" | ");
}

TEST (AnswerJudge, ARangedRequestKeepsItsBytesThroughAPassingRefusalAndOnlyAtItsOwnAddress)
{
    const auto partOfV1 = head ({ "HTTP/1.1 206 Partial", "Content-Range: bytes 100-999/1000", "ETag: \"v1\"" });

    // Every request asks for the bytes themselves; a ranged one for the rest of the same file.
    rules::AnswerJudge ranged (first, keptAt (first));
    EXPECT_EQ (ranged.getRequestHeaders(),
               juce::StringArray ({ "Accept-Encoding: identity", "Range: bytes=100-", "If-Range: \"v1\"" }));
    EXPECT_EQ (rules::AnswerJudge (first, {}).getRequestHeaders(), juce::StringArray ({ "Accept-Encoding: identity" }));

    // 5xx and 429 to a ranged request: tried again later, the kept bytes untouched.
    for (const auto status : { 500, 503, 429 })
        EXPECT_EQ (rules::AnswerJudge (first, keptAt (first)).judge (head ({ "HTTP/1.1 " + juce::String (status) + " Busy", "Retry-After: 1" })),
                   Verdict::retryLater) << status;

    // The rest of the same address is appended, with the kept file's validators.
    rules::AnswerJudge same (first, keptAt (first));
    EXPECT_EQ (same.judge (partOfV1), Verdict::append);
    EXPECT_EQ (same.getBodyLength(), 900);

    // The rest is asked for where the kept bytes came from, as it is: appended.
    const auto moved = juce::String ("https://cdn.example/x.exe");
    rules::AnswerJudge followed (first, keptAt (moved));
    EXPECT_EQ (followed.getAddress(), moved);
    EXPECT_EQ (followed.judge (partOfV1), Verdict::append);

    // A signed address that expired: one more request, through the first address, still for the
    // rest; the new signature of the same object keeps the kept bytes.
    rules::AnswerJudge expired (first, keptAt (moved + "?sig=1"));
    ASSERT_EQ (expired.judge (head ({ "HTTP/1.1 403 Forbidden", "Content-Length: 0" })), Verdict::sendAgain);
    EXPECT_EQ (expired.getAddress(), first);
    EXPECT_TRUE (expired.isRanged());
    ASSERT_EQ (expired.judge (redirect (302, moved + "?sig=2")), Verdict::sendAgain);
    EXPECT_EQ (expired.judge (partOfV1), Verdict::append);

    // Sent on elsewhere, another object: a plain request follows, from the first address, and its 503 is final.
    rules::AnswerJudge elsewhere (first, keptAt (moved));
    ASSERT_EQ (elsewhere.judge (redirect (302, "https://other.example/x.exe")), Verdict::sendAgain);
    EXPECT_EQ (elsewhere.getAddress(), first);
    ASSERT_EQ (elsewhere.judge (redirect (302, "https://other.example/x.exe")), Verdict::sendAgain);
    EXPECT_EQ (elsewhere.judge (partOfV1), Verdict::sendAgain);
    EXPECT_EQ (elsewhere.getStartNote(), "Download started again from zero: the rest came from another address (https://other.example/x.exe)");
    EXPECT_FALSE (elsewhere.isRanged());
    EXPECT_EQ (elsewhere.getAddress(), first);
    EXPECT_EQ (elsewhere.getRequestHeaders(), juce::StringArray ({ "Accept-Encoding: identity" }));
    EXPECT_EQ (elsewhere.judge (head ({ "HTTP/1.1 503 Busy", "Content-Length: 0" })), Verdict::write);
}

TEST (AnswerJudge, AChunkedFileIsWholeOnlyWhenNothingOfItsVersionFollows)
{
    const auto chunked = head ({ "HTTP/1.1 200 OK", "Transfer-Encoding: chunked", "ETag: \"v1\"" });
    const struct { juce::StringArray probe; rules::AnswerJudge::Ending ending; const char* refusal; } cases[] = {
        { { "HTTP/1.1 416 Range Not Satisfiable", "Content-Range: bytes */1000" },             rules::AnswerJudge::Ending::whole,       "" },
        { { "HTTP/1.1 416 Range Not Satisfiable", "Content-Range: Bytes */1000" },             rules::AnswerJudge::Ending::whole,       "" },
        { { "HTTP/1.1 416 Range Not Satisfiable", "Content-Length: 0" },                       rules::AnswerJudge::Ending::whole,       "" },
        { { "HTTP/1.1 206 Partial", "Content-Range: BYTES 1000-1999/2000", "ETag: \"v1\"" },   rules::AnswerJudge::Ending::cut,         "" },
        { { "HTTP/1.1 206 Partial", "Content-Range: bytes 1000-1999/2000", "ETag: \"v1\"" },   rules::AnswerJudge::Ending::cut,         "" },
        { { "HTTP/1.1 416 Range Not Satisfiable", "Content-Range: bytes */2000" },             rules::AnswerJudge::Ending::unconfirmed,
          "the chunked body's end could not be confirmed (asked for what follows it, the server answered 416)" },
        { { "HTTP/1.1 206 Partial", "Content-Range: bytes 1000-1999/2000", "ETag: \"v2\"" },   rules::AnswerJudge::Ending::unconfirmed,
          "the chunked body's end could not be confirmed (asked for what follows it, the server answered 206)" },
        { { "HTTP/1.1 200 OK", "Transfer-Encoding: chunked", "ETag: \"v1\"" },                 rules::AnswerJudge::Ending::unknown,
          "the chunked body's end could not be confirmed (asked for what follows it, the server answered 200)" },
    };

    for (const auto& c : cases)
    {
        rules::AnswerJudge judge (first, {});
        ASSERT_EQ (judge.judge (chunked), Verdict::write);
        ASSERT_TRUE (judge.needsConfirmation());
        EXPECT_EQ (judge.getConfirmationHeaders (1000),
                   juce::StringArray ({ "Accept-Encoding: identity", "Range: bytes=1000-", "If-Range: \"v1\"" }));
        EXPECT_EQ (judge.confirm (head (c.probe), 1000), c.ending) << c.probe.joinIntoString (" | ");
        EXPECT_EQ (judge.getRefusal(), juce::String (c.refusal));
    }

    // Nothing to ask by; and a body framed by its length needs no question.
    rules::AnswerJudge unnamed (first, {});
    ASSERT_EQ (unnamed.judge (head ({ "HTTP/1.1 200 OK", "Transfer-Encoding: chunked" })), Verdict::write);
    EXPECT_TRUE (unnamed.getConfirmationHeaders (1000).isEmpty());
    EXPECT_EQ (unnamed.confirm ({}, 1000), rules::AnswerJudge::Ending::unknown);
    EXPECT_EQ (unnamed.getRefusal(), "the chunked body's end could not be confirmed (no strong validator to ask by)");

    rules::AnswerJudge framed (first, {});
    ASSERT_EQ (framed.judge (head ({ "HTTP/1.1 200 OK", "Content-Length: 10", "ETag: \"v1\"" })), Verdict::write);
    EXPECT_FALSE (framed.needsConfirmation());
}

TEST (AnswerJudge, AResumeRefusedForNowSaysHowLongItsServerAskedUsToWait)
{
    const struct { const char* retryAfter; const char* date; juce::int64 seconds; } cases[] = {
        { "120", nullptr, 120 },
        { "0", nullptr, 0 },
        { "Wed, 21 Oct 2026 07:28:00 GMT", "Wed, 21 Oct 2026 07:27:00 GMT", 60 },   // from the server's own clock
        { "Wed, 21 Oct 2026 07:26:00 GMT", "Wed, 21 Oct 2026 07:27:00 GMT", 0 },    // already past
        { "Wed, 21 Oct 2026 07:28:00 GMT", nullptr, -1 },                           // no clock to count from
        { "soon", nullptr, -1 },
        { "-5", nullptr, -1 },
        { nullptr, nullptr, -1 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.retryAfter != nullptr ? c.retryAfter : "(none)");
        juce::StringArray lines { "HTTP/1.1 503 Busy", "Content-Length: 0" };

        if (c.retryAfter != nullptr)
            lines.add (juce::String ("Retry-After: ") + c.retryAfter);

        if (c.date != nullptr)
            lines.add (juce::String ("Date: ") + c.date);

        AnswerJudge judge (first, keptAt (first));
        EXPECT_EQ (judge.judge (head (lines)), Verdict::retryLater);
        EXPECT_EQ (judge.getRetryAfterSeconds(), c.seconds);
    }
}
