// A resumed download appends only a part that is of the kept file and ends where it does: answers
// that misbehaving servers, caches and proxies give are refused, and only a validator that is
// strong and well-formed is ever sent back.

#include "download/rules/RangedAnswer.h"

#include <gtest/gtest.h>

using platform::RangedAnswer::Use;

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
        EXPECT_EQ (platform::Validators::of (c.etag, c.lastModified, c.date).ifRange(), juce::String (c.ifRange))
            << c.etag << " | " << c.lastModified << " | " << c.date;

    EXPECT_EQ (platform::RangedAnswer::parseHttpDate ("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
    EXPECT_EQ (platform::RangedAnswer::parseHttpDate ("Tue, 29 Feb 2000 23:59:59 GMT"), 951868799);
    EXPECT_EQ (platform::RangedAnswer::parseHttpDate ("Thu, 31 Dec 2099 00:00:00 GMT"), 4102358400);
    EXPECT_EQ (platform::RangedAnswer::parseHttpDate ("Sun, 06 Nov 1994 24:49:37 GMT"), -1);
}

TEST (RangedAnswer, AppendsOnlyAPartOfTheSameFileThatEndsWhereItDoes)
{
    const platform::DownloadResume kept { 100, 1000, platform::Validators::of (tag, modified, later) };
    const platform::DownloadResume huge { 5000000000, 6000000000, platform::Validators::of (tag, {}, {}) };

    const struct { const platform::DownloadResume& resume; int status; const char* range; juce::int64 length; const char* coding;
                   juce::String etag, lastModified; Use use; const char* note; } cases[] = {
        { kept, 206, "bytes 100-999/1000",       900, "",         tag, modified, Use::append,          "Download resumed from byte 100" },
        { kept, 206, "  BYTES 100-999/1000 ",    -1,  "identity", {},  {},       Use::append,          "Download resumed from byte 100" },
        { kept, 206, "bytes 100-999/1000",       900, "",         {},  modified, Use::append,          "Download resumed from byte 100" },
        { huge, 206, "bytes 5000000000-5999999999/6000000000", 1000000000, "", tag, {}, Use::append,   "Download resumed from byte 5000000000" },
        { kept, 206, "bytes 100-999/1000",       450, "",         tag, {},       Use::askAgainPlainly, "Download started again from zero: the part sent is not as long as its range (bytes 100-999/1000)" },
        { kept, 206, "bytes 100-999/1000",       901, "",         tag, {},       Use::askAgainPlainly, "Download started again from zero: the part sent is not as long as its range (bytes 100-999/1000)" },
        { kept, 206, "bytes 100-998/1000",       899, "",         tag, {},       Use::askAgainPlainly, "Download started again from zero: the part sent does not continue the file (bytes 100-998/1000)" },
        { kept, 206, "bytes 0-999/1000",         1000, "",        tag, {},       Use::askAgainPlainly, "Download started again from zero: the part sent does not continue the file (bytes 0-999/1000)" },
        { kept, 206, "bytes 100-999/*",          900, "",         tag, {},       Use::askAgainPlainly, "Download started again from zero: the part sent does not continue the file (bytes 100-999/*)" },
        { kept, 206, "bytes 100-999/1001",       900, "",         tag, {},       Use::askAgainPlainly, "Download started again from zero: the part sent does not continue the file (bytes 100-999/1001)" },
        { kept, 206, "bytes 100-999/1000",       900, "",         "W/" + tag, {}, Use::askAgainPlainly, "Download started again from zero: the part sent is of another version of the file" },
        { kept, 206, "bytes 100-999/1000",       900, "",         "\"other\"", {}, Use::askAgainPlainly, "Download started again from zero: the part sent is of another version of the file" },
        { kept, 206, "bytes 100-999/1000",       900, "",         tag, later,    Use::askAgainPlainly, "Download started again from zero: the part sent is of another version of the file" },
        { kept, 206, "bytes 100-999/1000",       900, "gzip",     tag, {},       Use::askAgainPlainly, "Download started again from zero: the part sent is encoded (gzip)" },
        { kept, 416, "bytes */1000",             -1,  "",         {},  {},       Use::askAgainPlainly, "Download started again from zero: the server cannot send the rest (416)" },
        { kept, 200, "",                         1000, "",        tag, modified, Use::fromZero,        "Download started again from zero: the server sent the whole file" },
        { kept, 200, "",                         1000, "",        "\"new\"", later, Use::fromZero,     "Download started again from zero: the file changed on the server" },
        { kept, 404, "",                         10,  "",         {},  {},       Use::fromZero,        "Download started again from zero: the server answered 404" },
    };

    for (const auto& c : cases)
    {
        juce::String note;
        const platform::RangedAnswer::Head head { c.status, c.range, c.coding, c.length, platform::Validators::of (c.etag, c.lastModified, later) };

        EXPECT_EQ (platform::RangedAnswer::judge (c.resume, head, note), c.use) << c.status << " " << c.range << " " << c.etag;
        EXPECT_EQ (note, juce::String (c.note));
    }
}
