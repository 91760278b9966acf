// An answer's head read from any lines a server may send: the facts it gives stay coherent, and
// nothing it keeps for a later request can carry a control byte into one.
#include "FuzzInput.h"

#include "rules/AnswerHead.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    using Framing = rules::AnswerHead::Framing;

    const auto head = rules::AnswerHead::read (fuzz::linesOf (data, size));
    const auto status = head.getStatus();
    const auto framing = head.getFraming();

    fuzz::check (status == 0 || (status >= 100 && status <= 999), "a status is three digits or none");
    fuzz::check ((head.getContentLength() >= 0) == (framing == Framing::length), "a length exactly when framed by one");
    fuzz::check (head.getFramingProblem().isEmpty() == (framing == Framing::length || framing == Framing::chunked || framing == Framing::byStream),
                 "a framing problem exactly when the end cannot be told");

    const auto& validators = head.getValidators();
    fuzz::check (fuzz::isHeaderSafe (validators.etag) && fuzz::isHeaderSafe (validators.lastModified), "validators are header-safe");
    fuzz::check (fuzz::isHeaderSafe (validators.ifRange()), "an If-Range value is header-safe");
    fuzz::check (! head.isCoded() || head.validatorsOfBody().ifRange().isEmpty(), "a coded body is never resumed");

    if (status == 0)
        fuzz::check (framing == Framing::untilClose && head.getLocation().isEmpty() && head.getContentRange().isEmpty(),
                     "no status line, no facts");

    return 0;
}
