#pragma once

#include <juce_core/juce_core.h>

namespace rules
{

/** An answer's validators, kept apart: each is compared on its own when a part of the file is
    appended, and only a strong one is ever sent back.
*/
struct Validators
{
    juce::String etag;           // its ETag, strong or weak; empty when none or not an entity tag
    juce::String lastModified;   // its Last-Modified; empty when none or not an HTTP date
    bool strongDate = false;     // the answer's Date at least 60 s after Last-Modified

    /** From an answer's header values; anything that is not an entity tag or an HTTP date (a
        control byte in it, say) is no validator, and is never put into a request.
    */
    static Validators of (const juce::String& etag, const juce::String& lastModified, const juce::String& date);

    /** What may be sent as If-Range: the strong ETag; with no ETag at all, a strong date; else
        nothing (a weak tag or a date that may cover two versions can splice two files).
    */
    juce::String ifRange() const;
};

/** What an attempt knows of a download that an earlier one left unfinished: it asks only for
    the rest, and only when all of this is known (else there is nothing safe to resume).
*/
struct DownloadResume
{
    juce::int64 received = 0;          // the bytes kept in the file
    juce::int64 completeLength = -1;   // the whole file's length, as the earlier answers gave it
    Validators validators;             // theirs
    juce::String address;              // where they came from, after redirects: validators name versions of one resource

    bool canResume() const
    {
        return received > 0 && completeLength > received && validators.ifRange().isNotEmpty() && address.isNotEmpty();
    }
};

class AnswerHead;

/** How an answer to a ranged request (Range: bytes=<received>-, If-Range) is used. */
namespace RangedAnswer
{
    enum class Use
    {
        append,             // a 206 of the same file that starts at the kept length and ends at its end
        fromZero,           // the whole file instead (a 200; or an answer that is no file, judged as usual)
        askAgainPlainly     // a 206 that does not fit, a 416: nothing of it can be used
    };

    /** What to do with `answer` to a request made with `resume`; `note` says it for the log. */
    Use judge (const DownloadResume& resume, const AnswerHead& answer, juce::String& note);

    /** Seconds since 1970 of an HTTP date (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT"); -1 when
        the text is not one. The obsolete forms are not taken: a validator in one is no validator.
    */
    juce::int64 parseHttpDate (const juce::String& text);
}

} // namespace rules
