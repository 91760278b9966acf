// A resumed download appends only a part that is of the kept file and ends where it does: answers
// that misbehaving servers, caches and proxies give are refused, and only a validator that is
// strong and well-formed is ever sent back.

#include "rules/AnswerHead.h"

#include <gtest/gtest.h>

using rules::RangedAnswer::Use;

namespace
{
    const juce::String tag ("\"5d8c72a5\""), modified ("Tue, 02 Jan 2024 10:00:00 GMT"), later ("Wed, 03 Jan 2024 10:00:00 GMT");
}

TEST (RangedAnswer, SendsBackOnlyAStrongWellFormedValidator)
{
    const struct { const char* etag; const char* lastModified; const char* date; const char* ifRange; } cases[] = {
        { "\"5d8c72a5\"",      "",                                 "",                                "\"5d8c72a5\"" },
        { " \"5d8c72a5\" ",    "",                                 "",                                "\"5d8c72a5\"" },
        { "W/\"5d8c72a5\"",    "Tue, 02 Jan 2024 10:00:00 GMT",   "Wed, 03 Jan 2024 10:00:00 GMT",   "" },   // a tag, weak: no date either
        { "\"5d8c\r72a5\"",    "Tue, 02 Jan 2024 10:00:00 GMT",   "Wed, 03 Jan 2024 10:00:00 GMT",   "" },   // a bare CR never reaches a request
        { "\"5d8c\"72a5\"",    "",                                 "",                                "" },
        { "5d8c72a5",          "",                                 "",                                "" },
        { "",                  "Tue, 02 Jan 2024 10:00:00 GMT",   "Tue, 02 Jan 2024 10:01:00 GMT",   "Tue, 02 Jan 2024 10:00:00 GMT" },
        { "",                  "Tue, 02 Jan 2024 10:00:00 GMT",   "Tue, 02 Jan 2024 10:00:59 GMT",   "" },   // a date within a minute is weak
        { "",                  "Tue, 02 Jan 2024 10:00:00 GMT",   "Tue, 02 Jan 2024 10:00:00 GMT",   "" },
        { "",                  "Tue, 02 Jan 2024 10:00:00 GMT",   "",                                "" },
        { "",                  "Tuesday, 02-Jan-24 10:00:00 GMT", "Wed, 03 Jan 2024 10:00:00 GMT",   "" },   // obsolete form: taken as none
        { "",                  "Tue, 02 Jan 2024 10:00:00 GMT\n", "Wed, 03 Jan 2024 10:00:00 GMT",   "Tue, 02 Jan 2024 10:00:00 GMT" },
        { "",                  "Tue, 02 Jan 2024 10:\x01""0:00 GMT", "Wed, 03 Jan 2024 10:00:00 GMT", "" },
        { "",                  "yesterday",                        "Wed, 03 Jan 2024 10:00:00 GMT",   "" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (rules::Validators::of (c.etag, c.lastModified, c.date).ifRange(), juce::String (c.ifRange))
            << c.etag << " | " << c.lastModified << " | " << c.date;

    EXPECT_EQ (rules::RangedAnswer::parseHttpDate ("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
    EXPECT_EQ (rules::RangedAnswer::parseHttpDate ("Tue, 29 Feb 2000 23:59:59 GMT"), 951868799);
    EXPECT_EQ (rules::RangedAnswer::parseHttpDate ("Thu, 31 Dec 2099 00:00:00 GMT"), 4102358400);
    EXPECT_EQ (rules::RangedAnswer::parseHttpDate ("Sun, 06 Nov 1994 24:49:37 GMT"), -1);
}

TEST (RangedAnswer, AppendsOnlyAPartThatNamesTheVersionAskedForAndEndsWhereTheFileDoes)
{
    const juce::String address ("https://a.example/x.exe");
    const rules::DownloadResume kept { 100, 1000, rules::Validators::of (tag, modified, later), address };
    const rules::DownloadResume byDate { 100, 1000, rules::Validators::of ({}, modified, later), address };
    const rules::DownloadResume huge { 5000000000, 6000000000, rules::Validators::of (tag, {}, {}), address };
    const auto range = "Content-Range: bytes 100-999/1000";
    const auto etag = "ETag: " + tag, lastModified = "Last-Modified: " + modified;
    const auto again = juce::String ("Download started again from zero: ");

    const struct { const rules::DownloadResume& resume; juce::StringArray lines; Use use; juce::String note; } cases[] = {
        { kept,   { "HTTP/1.1 206 Partial", range, "Content-Length: 900", etag, lastModified }, Use::append,  "Download resumed from byte 100" },
        { kept,   { "HTTP/1.1 206 Partial", "Content-Range:   BYTES 100-999/1000 ", "Content-Encoding: identity", etag }, Use::append, "Download resumed from byte 100" },
        { byDate, { "HTTP/1.1 206 Partial", range, lastModified },                           Use::append,          "Download resumed from byte 100" },
        { huge,   { "HTTP/1.1 206 Partial", "Content-Range: bytes 5000000000-5999999999/6000000000", etag }, Use::append, "Download resumed from byte 5000000000" },
        // Transfer-Encoding frames the part; a Content-Length beside it is not its length.
        { kept,   { "HTTP/1.1 206 Partial", range, "Transfer-Encoding: chunked", "Content-Length: 450", etag }, Use::append, "Download resumed from byte 100" },
        // Only the validator sent in If-Range names the version asked for.
        { kept,   { "HTTP/1.1 206 Partial", range },                                         Use::askAgainPlainly, again + "the part sent names no version of the file" },
        { kept,   { "HTTP/1.1 206 Partial", range, lastModified },                           Use::askAgainPlainly, again + "the part sent names no version of the file" },
        { byDate, { "HTTP/1.1 206 Partial", range },                                         Use::askAgainPlainly, again + "the part sent names no version of the file" },
        { byDate, { "HTTP/1.1 206 Partial", range, etag, lastModified },                     Use::askAgainPlainly, again + "the part sent is of another version of the file" },
        { kept,   { "HTTP/1.1 206 Partial", range, "ETag: W/" + tag },                       Use::askAgainPlainly, again + "the part sent is of another version of the file" },
        { kept,   { "HTTP/1.1 206 Partial", range, "ETag: \"other\"" },                      Use::askAgainPlainly, again + "the part sent is of another version of the file" },
        { kept,   { "HTTP/1.1 206 Partial", range, etag, "Last-Modified: " + later },        Use::askAgainPlainly, again + "the part sent is of another version of the file" },
        // Repeated lines name no one version, range or length.
        { kept,   { "HTTP/1.1 206 Partial", range, etag, "ETag: \"other\"" },                Use::askAgainPlainly, again + "the part sent gives its ETag twice" },
        { kept,   { "HTTP/1.1 206 Partial", range, etag, etag },                             Use::askAgainPlainly, again + "the part sent gives its ETag twice" },
        { kept,   { "HTTP/1.1 206 Partial", range, range, etag },                            Use::askAgainPlainly, again + "the part sent gives its Content-Range twice" },
        { kept,   { "HTTP/1.1 206 Partial", range, "Content-Length: 900", "Content-Length: 900", etag }, Use::askAgainPlainly, again + "the part sent gives its Content-Length twice" },
        { kept,   { "HTTP/1.1 206 Partial", range, "Transfer-Encoding: gzip, chunked", etag }, Use::askAgainPlainly, again + "the part sent cannot be read: the body has a transfer coding other than chunked (gzip, chunked)" },
        { kept,   { "HTTP/1.1 206 Partial", range, "Content-Length: 450", etag },            Use::askAgainPlainly, again + "the part sent is not as long as its range (bytes 100-999/1000)" },
        { kept,   { "HTTP/1.1 206 Partial", range, "Content-Length: 901", etag },            Use::askAgainPlainly, again + "the part sent is not as long as its range (bytes 100-999/1000)" },
        { kept,   { "HTTP/1.1 206 Partial", "Content-Range: bytes 100-998/1000", etag },     Use::askAgainPlainly, again + "the part sent does not continue the file (bytes 100-998/1000)" },
        { kept,   { "HTTP/1.1 206 Partial", "Content-Range: bytes 0-999/1000", etag },       Use::askAgainPlainly, again + "the part sent does not continue the file (bytes 0-999/1000)" },
        { kept,   { "HTTP/1.1 206 Partial", "Content-Range: bytes 100-999/*", etag },        Use::askAgainPlainly, again + "the part sent does not continue the file (bytes 100-999/*)" },
        { kept,   { "HTTP/1.1 206 Partial", "Content-Range: bytes 100-999/1001", etag },     Use::askAgainPlainly, again + "the part sent does not continue the file (bytes 100-999/1001)" },
        { kept,   { "HTTP/1.1 206 Partial", range, "Content-Encoding: identity", "Content-Encoding: gzip", etag }, Use::askAgainPlainly, again + "the part sent is encoded (identity, gzip)" },
        { kept,   { "HTTP/1.1 416 Range Not Satisfiable", "Content-Range: bytes */1000" },   Use::askAgainPlainly, again + "the server cannot send the rest (416)" },
        { kept,   { "HTTP/1.1 200 OK", "Content-Length: 1000", etag, lastModified },         Use::fromZero,        again + "the server sent the whole file" },
        { kept,   { "HTTP/1.1 200 OK", "Content-Length: 1000", "ETag: \"new\"" },            Use::fromZero,        again + "the file changed on the server" },
        { kept,   { "HTTP/1.1 404 Not Found", "Content-Length: 10" },                        Use::fromZero,        again + "the server answered 404" },
    };

    for (const auto& c : cases)
    {
        auto lines = c.lines;
        lines.add ("Date: " + later);
        juce::String note;

        EXPECT_EQ (rules::RangedAnswer::judge (c.resume, rules::AnswerHead::read (lines), note), c.use) << lines.joinIntoString (" | ");
        EXPECT_EQ (note, c.note);
    }
}
