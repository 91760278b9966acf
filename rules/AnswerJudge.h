#pragma once

#include "rules/AnswerHead.h"
#include "rules/RedirectLocation.h"

namespace rules
{

/** The one judge of every answer a download attempt gets, the same on every system: the system's
    layer sends the requests it names and hands over each answer's head; the judge says whether
    to follow it, write its body, append it to the kept bytes, refuse it, or try again later.
    Nothing here touches the network or the file.
*/
class AnswerJudge
{
public:
    enum class Verdict
    {
        sendAgain,    // a redirect followed, or a ranged answer of no use: send the next request
        write,        // the body into a new, empty file (the file, or an answer judged as usual)
        append,       // the body continues the kept bytes, to the complete length exactly
        refuse,       // a final answer whose body is never taken (a server error): getRefusal() says why
        retryLater    // a ranged request refused for now (5xx, 429): no answer, the kept bytes stay
    };

    /** An attempt at `address` that asks only for the rest when `resume` can be resumed: first at
        the address the kept bytes came from (a CDN's signed address is asked again as it is, not
        through a redirector that would hand out another), and only when that address refuses it (a
        4xx, or a redirect) at `address` again, still for the rest.
    */
    AnswerJudge (const juce::String& address, const DownloadResume& resume);

    /** Where the next request goes, and its extra header lines ("Name: value"). */
    const juce::String& getAddress() const noexcept    { return redirects.getAddress(); }
    juce::StringArray getRequestHeaders() const;

    /** Whether the next request asks for the rest of the kept bytes. */
    bool isRanged() const noexcept    { return ranged; }

    /** Judges the head of the answer to the last request sent. */
    Verdict judge (const AnswerHead& head);

    /** For the log, once a body is taken: from which byte it resumed, or why it starts from zero
        (empty when the attempt was not asked to resume).
    */
    const juce::String& getStartNote() const noexcept    { return startNote; }

    /** After a retryLater: how long its server asked us to wait, in seconds (-1: it did not say). */
    juce::int64 getRetryAfterSeconds() const noexcept    { return retryAfterSeconds; }

    /** Why the final answer was refused. */
    const juce::String& getRefusal() const noexcept      { return refusal; }

    /** The length of the body to take, by its framing or, appended, by its range; -1 unknown. */
    juce::int64 getBodyLength() const noexcept           { return bodyLength; }

    /** The kept bytes the attempt was asked to resume. */
    const DownloadResume& getResume() const noexcept     { return resume; }

    /** What a later attempt may resume the body taken by (appended: the kept file's). */
    const Validators& getBodyValidators() const noexcept { return bodyValidators; }

    /** The kept bytes could not be reopened to append to: only the whole file can be used now. */
    Verdict keptPartGone();

    /** A chunked body ends with its last chunk, which not every system's stack tells apart from
        a cut (Wine's WinINet ends a cut one as if whole). So once a chunked body of the file has
        ended, the layer asks for what follows its `received` bytes, with these header lines
        (none when nothing can be asked by: the body gave no strong validator), and confirm()
        judges the answer's head.
    */
    bool needsConfirmation() const noexcept    { return chunkedFile; }
    juce::StringArray getConfirmationHeaders (juce::int64 received) const;

    enum class Ending
    {
        whole,         // nothing follows (416, "bytes */<received>")
        cut,           // more of the same version follows: the body was cut short
        unknown,       // the server will not say (a 200 or 5xx to the question, or nothing to ask by):
                       // the file may be whole; getRefusal() says why it cannot be told
        unconfirmed    // the answer speaks against it (another length, another version): getRefusal() says why
    };

    Ending confirm (const AnswerHead& head, juce::int64 received);

private:
    Verdict takeBody (const AnswerHead& head);
    Verdict askAgainPlainly();

    const juce::String firstAddress;
    const DownloadResume resume;
    Redirects redirects;
    bool ranged, atKeptAddress, leftKeptAddress = false;
    juce::String startNote, refusal;
    juce::int64 retryAfterSeconds = -1;
    juce::int64 bodyLength = -1;
    Validators bodyValidators;
    bool chunkedFile = false;
};

} // namespace rules
