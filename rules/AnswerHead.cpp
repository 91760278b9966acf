#include "rules/AnswerHead.h"
#include "constants/Texts.h"

namespace rules
{

namespace
{
    /** "HTTP/1.1 200 OK" -> 200, and whether the version is 2 or later; 0 when it is no status line. */
    int readStatusLine (const juce::String& line, bool& framedByStream)
    {
        const auto version = line.upToFirstOccurrenceOf (" ", false, false);
        const auto code = line.fromFirstOccurrenceOf (" ", false, false).upToFirstOccurrenceOf (" ", false, false);

        // "084" is no status: codes run from 100 (RFC 9110 15).
        if (! version.startsWith ("HTTP/") || code.length() != 3 || ! code.containsOnly ("0123456789") || code[0] == '0')
            return 0;

        framedByStream = version.substring (5).getIntValue() >= 2;
        return code.getIntValue();
    }

    struct Field
    {
        juce::String value;
        int count = 0;

        /** Repeated lines of a list field are one list (RFC 9110 5.3). */
        void add (const juce::String& more)
        {
            value = count++ == 0 ? more : value + ", " + more;
        }

        juce::String single() const    { return count == 1 ? value : juce::String(); }
    };
}

namespace
{
    /** Retry-After = HTTP-date / delay-seconds (RFC 9110 10.2.3); a date counts from the
        answer's own Date, the server's clock, not ours.
    */
    juce::int64 readRetryAfter (const juce::String& value, const juce::String& date)
    {
        if (value.isNotEmpty() && value.length() <= 9 && value.containsOnly ("0123456789"))
            return value.getLargeIntValue();

        const auto when = RangedAnswer::parseHttpDate (value), now = RangedAnswer::parseHttpDate (date);
        return when >= 0 && now >= 0 ? juce::jmax (juce::int64 { 0 }, when - now) : -1;
    }
}

AnswerHead AnswerHead::read (const juce::StringArray& lines)
{
    AnswerHead head;
    auto framedByStream = false;

    if (lines.isEmpty() || (head.status = readStatusLine (lines[0].trim(), framedByStream)) == 0)
        return head;

    // The fields any decision is taken by; the rest are not looked at.
    const char* const names[] = { "etag", "last-modified", "content-range", "content-length",
                                  "content-encoding", "transfer-encoding", "location", "date", "retry-after" };
    Field fields[juce::numElementsInArray (names)];
    Field* last = nullptr;

    for (int i = 1; i < lines.size(); ++i)
    {
        const auto line = lines[i].trimCharactersAtEnd ("\r\n");

        if (line.isEmpty())
            break;

        if (line[0] == ' ' || line[0] == '\t')
        {
            // An obsolete folded line: part of the value before it.
            if (last != nullptr)
                last->value += " " + line.trim();

            continue;
        }

        if (! line.containsChar (':') && head.lineWithoutColon.isEmpty())
            head.lineWithoutColon = line;

        const auto name = line.upToFirstOccurrenceOf (":", false, false).toLowerCase();
        const auto value = line.fromFirstOccurrenceOf (":", false, false).trim();
        last = nullptr;

        for (size_t f = 0; f < juce::numElementsInArray (names); ++f)
            if (name == names[f])
                (last = &fields[f])->add (value);
    }

    const auto& [etag, lastModified, contentRange, contentLength, contentEncoding, transferEncoding, location, date, retryAfter]
        = fields;

    const std::pair<const Field*, const char*> misfitIfRepeated[] = { { &etag, "ETag" }, { &lastModified, "Last-Modified" },
                                                                      { &contentRange, "Content-Range" },
                                                                      { &contentLength, "Content-Length" } };

    for (const auto& [field, name] : misfitIfRepeated)
        if (head.repeated.isEmpty() && field->count > 1)
            head.repeated = name;

    head.validators = Validators::of (etag.single(), lastModified.single(), date.count > 0 ? date.value : juce::String());

    // A tag or a date given twice names two versions: nothing to know the file by, not even the other.
    if (etag.count > 1 || lastModified.count > 1)
        head.validators = {};

    head.contentRange = contentRange.single();
    head.location = location.single();
    head.contentEncoding = contentEncoding.value;
    head.transferEncoding = transferEncoding.value;
    head.contentLengthText = contentLength.value;
    head.retryAfterSeconds = readRetryAfter (retryAfter.single(), date.count == 1 ? date.value : juce::String());

    const auto lengthText = contentLength.single();
    const auto lengthIsNumber = lengthText.isNotEmpty() && lengthText.length() <= 18 && lengthText.containsOnly ("0123456789");
    head.contentLength = lengthIsNumber ? lengthText.getLargeIntValue() : -1;

    // A length announced is kept whatever the version: a stack that reports a reset stream as its
    // end is still caught by the size check.
    if (transferEncoding.count > 0 && ! framedByStream)
        head.framing = transferEncoding.value.trim().equalsIgnoreCase ("chunked") ? Framing::chunked : Framing::unreadable;
    else if (contentLength.count > 0)
        head.framing = lengthIsNumber ? Framing::length : Framing::unreadable;
    else if (framedByStream)
        head.framing = Framing::byStream;
    else
        head.framing = Framing::untilClose;

    return head;
}

juce::String AnswerHead::lineFromBytes (const char* bytes, size_t size)
{
    const auto length = (int) juce::jmin (size, (size_t) std::numeric_limits<int>::max());

    // The framework reads valid UTF-8 only: a lead byte without its continuation (a server's
    // Latin-1 byte, say) makes a string that reads past its own end.
    if (juce::CharPointer_UTF8::isValidString (bytes, length))
        return juce::String::fromUTF8 (bytes, length);

    juce::Array<juce::juce_wchar> characters;

    for (int i = 0; i < length && bytes[i] != 0; ++i)
        characters.add ((juce::juce_wchar) (juce::uint8) bytes[i]);

    characters.add (0);
    return juce::String (juce::CharPointer_UTF32 (characters.getRawDataPointer()));
}

juce::String AnswerHead::getFramingProblem() const
{
    switch (framing)
    {
        case Framing::untilClose:
            return Texts::Refusal::endUntellable;

        case Framing::unreadable:
            return transferEncoding.isNotEmpty()
                       ? Texts::Refusal::otherTransferCoding + transferEncoding + ")"
                       : Texts::Refusal::lengthNotANumber + contentLengthText + ")";

        case Framing::length:
        case Framing::chunked:
        case Framing::byStream:
            break;
    }

    return {};
}

bool AnswerHead::isCoded() const
{
    juce::StringArray codings;
    codings.addTokens (contentEncoding, ",", {});
    codings.trim();
    codings.removeEmptyStrings();

    for (const auto& coding : codings)
        if (! coding.equalsIgnoreCase ("identity"))
            return true;

    return false;
}

} // namespace rules
