#include "DownloadTask.h"

namespace platform::RangedAnswer
{

namespace
{
    struct ContentRange
    {
        juce::int64 first = -1, last = -1, complete = -1;
    };

    bool isNumber (const juce::String& text)
    {
        return text.isNotEmpty() && text.length() <= 18 && text.containsOnly ("0123456789");
    }

    ContentRange parse (const juce::String& header)
    {
        // "bytes <first>-<last>/<complete>": anything else (a "*" among them) is no range we can use.
        const auto value = header.trim();

        if (! value.startsWithIgnoreCase ("bytes "))
            return {};

        const auto range = value.substring (6).trim();
        const auto first = range.upToFirstOccurrenceOf ("-", false, false);
        const auto last = range.fromFirstOccurrenceOf ("-", false, false).upToFirstOccurrenceOf ("/", false, false);
        const auto complete = range.fromFirstOccurrenceOf ("/", false, false);

        if (! isNumber (first) || ! isNumber (last) || ! isNumber (complete))
            return {};

        return { first.getLargeIntValue(), last.getLargeIntValue(), complete.getLargeIntValue() };
    }
}

juce::String chooseValidator (const juce::String& etag, const juce::String& lastModified)
{
    // A weak ETag ("W/...") may name another version byte for byte: never a base for splicing.
    const auto tag = etag.trim();

    if (tag.startsWithChar ('"') && tag.endsWithChar ('"') && tag.length() > 2)
        return tag;

    return lastModified.trim();
}

Use judge (const DownloadResume& resume, int status, const juce::String& contentRange,
           const juce::String& answerValidator, juce::String& note)
{
    if (status == 206)
    {
        const auto range = parse (contentRange);

        if (range.first == resume.received && range.complete == resume.completeLength && range.last == range.complete - 1)
        {
            note = "Download resumed from byte " + juce::String (resume.received);
            return Use::append;
        }

        note = "Download started again from zero: the part sent does not continue the file (" + contentRange.trim() + ")";
        return Use::askAgainPlainly;
    }

    if (status == 416)
    {
        note = "Download started again from zero: the server cannot send the rest (416)";
        return Use::askAgainPlainly;
    }

    if (status == 200)
        note = answerValidator.isNotEmpty() && answerValidator != resume.validator
                   ? "Download started again from zero: the file changed on the server"
                   : "Download started again from zero: the server sent the whole file";
    else
        note = "Download started again from zero: the server answered " + juce::String (status);

    return Use::fromZero;
}

} // namespace platform::RangedAnswer
