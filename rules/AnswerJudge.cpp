#include "rules/AnswerJudge.h"
#include "constants/Texts.h"

namespace rules
{

AnswerJudge::AnswerJudge (const juce::String& address, const DownloadResume& resumeFrom)
    : firstAddress (address), resume (resumeFrom),
      redirects (resumeFrom.canResume() ? resumeFrom.address : address),
      ranged (resumeFrom.canResume()),
      atKeptAddress (ranged && resumeFrom.address != address)
{
}

namespace
{
    /** One resource under two addresses that differ in their query only: a CDN's signed
        addresses for one object (the validators still have to name the kept version).
    */
    bool isSameResource (const juce::String& a, const juce::String& b)
    {
        return a.upToFirstOccurrenceOf ("?", false, false) == b.upToFirstOccurrenceOf ("?", false, false);
    }
}

juce::StringArray AnswerJudge::getRequestHeaders() const
{
    // The bytes themselves, never a coding a CDN would choose for us.
    juce::StringArray headers { "Accept-Encoding: identity" };

    // Only the rest, and only of the same file: a changed one comes whole.
    if (ranged)
        headers.addArray ({ "Range: bytes=" + juce::String (resume.received) + "-", "If-Range: " + resume.validators.ifRange() });

    return headers;
}

AnswerJudge::Verdict AnswerJudge::judge (const AnswerHead& head)
{
    const auto status = head.getStatus();

    // A head some stacks refuse outright (libcurl does) is refused by every build.
    if (head.getLineWithoutColon().isNotEmpty())
    {
        refusal = Texts::Refusal::lineWithoutColon + head.getLineWithoutColon() + ")";
        return Verdict::refuse;
    }

    // The kept bytes' own address that refuses (a signed address that expired) or sends us on:
    // the build's own address again, still asking for the rest.
    if (std::exchange (atKeptAddress, false)
         && ((status >= 400 && status < 500 && status != 429) || Redirects::isRedirect (status)))
    {
        leftKeptAddress = true;
        redirects = Redirects (firstAddress);
        return Verdict::sendAgain;
    }

    // A redirect without a (single) Location is the final answer: a server error, not a loop.
    if (Redirects::isRedirect (status) && head.getLocation().isNotEmpty())
    {
        const auto followed = redirects.follow (head.getLocation());
        refusal = followed.getErrorMessage();
        return followed.wasOk() ? Verdict::sendAgain : Verdict::refuse;
    }

    if (! ranged)
        return takeBody (head);

    // A server too busy for the rest now refuses nothing for good: the kept bytes wait for it.
    if (status >= 500 || status == 429)
    {
        retryAfterSeconds = head.getRetryAfterSeconds();
        return Verdict::retryLater;
    }

    // Validators tell apart versions of one resource only.
    if (status == 206 && getAddress() != resume.address && ! (leftKeptAddress && isSameResource (getAddress(), resume.address)))
    {
        startNote = Texts::Resume::fromZero + juce::String (Texts::Resume::otherAddress) + getAddress() + ")";
        return askAgainPlainly();
    }

    switch (RangedAnswer::judge (resume, head, startNote))
    {
        case RangedAnswer::Use::append:
            bodyLength = resume.completeLength - resume.received;
            bodyValidators = resume.validators;   // the very version asked for
            return Verdict::append;

        case RangedAnswer::Use::fromZero:
            return takeBody (head);

        case RangedAnswer::Use::askAgainPlainly:
            break;
    }

    return askAgainPlainly();
}

AnswerJudge::Verdict AnswerJudge::keptPartGone()
{
    startNote = Texts::Resume::fromZero + juce::String (Texts::Resume::keptPartGone);
    return askAgainPlainly();
}

AnswerJudge::Verdict AnswerJudge::askAgainPlainly()
{
    ranged = false;
    redirects = Redirects (firstAddress);
    return Verdict::sendAgain;
}

AnswerJudge::Verdict AnswerJudge::takeBody (const AnswerHead& head)
{
    // Only a body that can become the file must show where it ends and be the file's own bytes;
    // any other answer is a server error whatever its body.
    if (head.getStatus() == 200)
    {
        refusal = head.getFramingProblem();

        if (refusal.isEmpty() && head.isCoded())
            refusal = Texts::Refusal::bodyEncoded + head.getContentEncoding() + ")";

        if (refusal.isNotEmpty())
            return Verdict::refuse;
    }

    bodyLength = head.getContentLength();
    bodyValidators = head.validatorsOfBody();
    chunkedFile = head.getStatus() == 200 && head.getFraming() == AnswerHead::Framing::chunked;
    return Verdict::write;
}

juce::StringArray AnswerJudge::getConfirmationHeaders (juce::int64 received) const
{
    const auto validator = bodyValidators.ifRange();

    if (validator.isEmpty())
        return {};

    return { "Accept-Encoding: identity", "Range: bytes=" + juce::String (received) + "-", "If-Range: " + validator };
}

AnswerJudge::Ending AnswerJudge::confirm (const AnswerHead& head, juce::int64 received)
{
    const auto range = head.getContentRange().trim();
    const auto status = head.getStatus();

    // Nothing follows: the server says so with the length it has, or without (RFC 9110 15.5.17
    // asks a 416 for a Content-Range, but only as a SHOULD); range units are case-insensitive.
    if (status == 416 && (range.isEmpty() || range.equalsIgnoreCase ("bytes */" + juce::String (received))))
        return Ending::whole;

    // More of the version asked for (the validator sent, named back) follows.
    const auto asked = bodyValidators.ifRange();
    const auto& named = head.getValidators();

    if (status == 206 && range.startsWithIgnoreCase ("bytes " + juce::String (received) + "-") && asked.isNotEmpty()
         && asked == (asked.startsWithChar ('"') ? named.etag : named.lastModified))
        return Ending::cut;

    const auto nothingToAskBy = getConfirmationHeaders (received).isEmpty();
    refusal = Texts::Refusal::chunkedEndUnconfirmed + (nothingToAskBy ? juce::String (Texts::Refusal::noStrongValidator)
                                                                      : Texts::Refusal::askedWhatFollows + juce::String (status)) + ")";

    // A server that ignores ranges (200), is busy (5xx, 429), or a body with no strong
    // validator, says nothing either way; a 416 or 206 that does not fit speaks against it.
    return nothingToAskBy || status == 200 || status >= 500 || status == 429 ? Ending::unknown : Ending::unconfirmed;
}

} // namespace rules
