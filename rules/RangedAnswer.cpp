#include "rules/RangedAnswer.h"
#include "constants/Texts.h"

#include "rules/AnswerHead.h"

namespace rules
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

    ContentRange parseContentRange (const juce::String& header)
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

    /** entity-tag = [ "W/" ] DQUOTE *etagc DQUOTE, etagc being any visible ASCII but DQUOTE. */
    bool isEntityTag (const juce::String& text)
    {
        const auto opaque = text.startsWith ("W/") ? text.substring (2) : text;

        if (opaque.length() < 2 || ! opaque.startsWithChar ('"') || ! opaque.endsWithChar ('"'))
            return false;

        for (int i = 1; i < opaque.length() - 1; ++i)
            if (const auto c = (juce::uint32) opaque[i]; c < 0x21 || c > 0x7e || c == '"')
                return false;

        return true;
    }

    bool isStrongEntityTag (const juce::String& text)
    {
        return isEntityTag (text) && ! text.startsWith ("W/");
    }

    int twoDigits (const juce::String& text, int at)
    {
        const auto a = text[at], b = text[at + 1];

        if (! juce::CharacterFunctions::isDigit (a) || ! juce::CharacterFunctions::isDigit (b))
            return -1;

        return juce::CharacterFunctions::getHexDigitValue (a) * 10 + juce::CharacterFunctions::getHexDigitValue (b);
    }

    /** Days from 1970-01-01 to a civil date (proleptic Gregorian). */
    juce::int64 daysFromCivil (int year, int month, int day)
    {
        year -= month <= 2 ? 1 : 0;
        const auto era = year / 400;
        const auto yearOfEra = year - era * 400;
        const auto dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
        const auto dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
        return (juce::int64) era * 146097 + dayOfEra - 719468;
    }
}

juce::int64 RangedAnswer::parseHttpDate (const juce::String& text)
{
    // "Sun, 06 Nov 1994 08:49:37 GMT": fixed width, every separator where it belongs.
    static const juce::StringArray days { "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun" };
    static const juce::StringArray months { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };

    if (text.length() != 29 || ! days.contains (text.substring (0, 3)) || text.substring (3, 5) != ", "
         || text[7] != ' ' || text[11] != ' ' || text[16] != ' ' || text[19] != ':' || text[22] != ':'
         || text.substring (25) != " GMT")
        return -1;

    const auto day = twoDigits (text, 5);
    const auto month = months.indexOf (text.substring (8, 11)) + 1;
    const auto century = twoDigits (text, 12), yearInCentury = twoDigits (text, 14);
    const auto hour = twoDigits (text, 17), minute = twoDigits (text, 20), second = twoDigits (text, 23);

    if (day < 1 || day > 31 || month < 1 || century < 0 || yearInCentury < 0
         || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
        return -1;

    return daysFromCivil (century * 100 + yearInCentury, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

Validators Validators::of (const juce::String& etag, const juce::String& lastModified, const juce::String& date)
{
    // A date is strong only when the server sent it a minute or more after the file last changed:
    // within the same second two versions can carry the same date.
    constexpr juce::int64 strongDateMarginSeconds = 60;

    Validators v;
    const auto tag = etag.trim(), modified = lastModified.trim();
    v.etag = isEntityTag (tag) ? tag : juce::String();
    const auto modifiedAt = RangedAnswer::parseHttpDate (modified), sentAt = RangedAnswer::parseHttpDate (date.trim());
    v.lastModified = modifiedAt >= 0 ? modified : juce::String();
    v.strongDate = modifiedAt >= 0 && sentAt >= 0 && sentAt - modifiedAt >= strongDateMarginSeconds;

    // A tag that is there but malformed still says the server tags its versions: no date then.
    if (v.etag.isEmpty() && tag.isNotEmpty())
        v.strongDate = false;

    return v;
}

juce::String Validators::ifRange() const
{
    if (etag.isNotEmpty())
        return isStrongEntityTag (etag) ? etag : juce::String();

    return strongDate ? lastModified : juce::String();
}

RangedAnswer::Use RangedAnswer::judge (const DownloadResume& resume, const AnswerHead& answer, juce::String& note)
{
    const juce::String from (Texts::Resume::fromZero);
    const auto status = answer.getStatus();

    if (status == 206)
    {
        const auto range = parseContentRange (answer.getContentRange());
        const auto& got = answer.getValidators();
        const auto asked = resume.validators.ifRange();
        const auto length = answer.getContentLength();

        if (answer.getRepeatedField().isNotEmpty())
            note = from + Texts::Resume::partFieldTwice + answer.getRepeatedField() + Texts::Resume::twice;
        else if (answer.getFraming() == AnswerHead::Framing::unreadable)
            note = from + Texts::Resume::partUnreadable + answer.getFramingProblem();
        else if (answer.isCoded())
            note = from + Texts::Resume::partEncoded + answer.getContentEncoding().trim() + ")";
        else if (range.first != resume.received || range.complete != resume.completeLength || range.last != range.complete - 1)
            note = from + Texts::Resume::partNotContinuing + answer.getContentRange().trim() + ")";
        else if (length >= 0 && length != range.complete - range.first)
            note = from + Texts::Resume::partShort + answer.getContentRange().trim() + ")";
        // A server or cache that ignores If-Range sends a part of whatever it has now: only a part
        // that names the very version asked for (RFC 9110 15.3.7: a 206 carries the validators a
        // 200 would) is of the kept file.
        else if ((got.etag.isNotEmpty() && got.etag != resume.validators.etag)
                  || (got.lastModified.isNotEmpty() && got.lastModified != resume.validators.lastModified))
            note = from + Texts::Resume::partOtherVersion;
        else if (asked != (asked.startsWithChar ('"') ? got.etag : got.lastModified))
            note = from + Texts::Resume::partNoVersion;
        else
        {
            note = Texts::Resume::resumedFromByte + juce::String (resume.received);
            return Use::append;
        }

        return Use::askAgainPlainly;
    }

    if (status == 416)
    {
        note = from + Texts::Resume::cannotSendRest;
        return Use::askAgainPlainly;
    }

    if (status == 200)
    {
        const auto offered = answer.getValidators().ifRange();
        note = from + (offered.isNotEmpty() && offered != resume.validators.ifRange()
                           ? Texts::Resume::fileChanged : Texts::Resume::wholeFileSent);
    }
    else
    {
        note = from + Texts::Resume::serverAnswered + juce::String (status);
    }

    return Use::fromZero;
}

} // namespace rules
