#pragma once

#include "rules/RangedAnswer.h"

namespace rules
{

/** The head of an HTTP answer, read from its status line and header lines as they came over the
    wire. Both systems' layers hand over those lines unchanged, so that every build takes the same
    facts from the same answer (HTTP stacks differ on repeated lines and on framing).
*/
class AnswerHead
{
public:
    /** How the end of the body is known (RFC 9112 6.3). */
    enum class Framing
    {
        length,       // a Content-Length and no Transfer-Encoding (which HTTP/2 has none of), any version
        chunked,      // Transfer-Encoding: chunked, whatever a Content-Length beside it says
        byStream,     // HTTP/2 or later without a Content-Length: the stream's own end
        untilClose,   // neither: the body ends where the connection does, which is what a cut looks like
        unreadable    // a Content-Length given twice or not a number, or a transfer coding other than chunked
    };

    AnswerHead() = default;

    /** From the status line and then the header lines, in the order received; line ends are
        ignored, an empty line ends the head, and a line starting with a blank continues the one
        before. An unreadable status line gives status 0.
    */
    static AnswerHead read (const juce::StringArray& lines);

    /** A line's bytes as a server sent them: UTF-8 when they are, else a character per byte. */
    static juce::String lineFromBytes (const char* bytes, size_t size);

    int getStatus() const noexcept                            { return status; }
    Framing getFraming() const noexcept                       { return framing; }

    /** The body's length when it is framed by one, else -1. */
    juce::int64 getContentLength() const noexcept             { return framing == Framing::length ? contentLength : -1; }

    /** Each of these is empty when the field is absent or given more than once. */
    const juce::String& getContentRange() const noexcept      { return contentRange; }
    const juce::String& getLocation() const noexcept          { return location; }

    /** Every Content-Encoding line, as one list (RFC 9110 5.3). */
    const juce::String& getContentEncoding() const noexcept   { return contentEncoding; }

    /** The first of ETag, Last-Modified, Content-Range and Content-Length that came more than
        once; empty when none did. Such an answer names no one version, range or length.
    */
    const juce::String& getRepeatedField() const noexcept     { return repeated; }

    /** The first header line with no colon, which names no field; empty when there is none. */
    const juce::String& getLineWithoutColon() const noexcept  { return lineWithoutColon; }

    /** Why the body's end cannot be told, for the log; empty when it can. */
    juce::String getFramingProblem() const;

    /** How long its Retry-After asks the client to wait, in seconds: the number itself, or the
        time from its Date to the date given; -1 when there is none that can be read so.
    */
    juce::int64 getRetryAfterSeconds() const noexcept         { return retryAfterSeconds; }

    /** Its validators: none when either came twice. */
    const Validators& getValidators() const noexcept          { return validators; }

    /** A body with a content coding is not the file's bytes. */
    bool isCoded() const;

    /** What a later attempt may resume this answer's body by: nothing for a coded one. */
    Validators validatorsOfBody() const    { return isCoded() ? Validators() : validators; }

private:
    int status = 0;
    Framing framing = Framing::untilClose;
    juce::int64 contentLength = -1, retryAfterSeconds = -1;
    juce::String contentRange, contentEncoding, transferEncoding, location, repeated, contentLengthText, lineWithoutColon;
    Validators validators;
};

} // namespace rules
