// A whole attempt through one judge: the first line is "<received>/<complete>" (anything else:
// nothing kept), then the head the kept bytes came with, then each answer's head in turn, an
// empty line after each. A block "kept part gone" says the kept bytes could not be reopened.
#include "FuzzInput.h"

#include "rules/AnswerJudge.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    using Verdict = rules::AnswerJudge::Verdict;

    const auto lines = fuzz::linesOf (data, size);
    const auto blocks = fuzz::blocksOf (lines, 1);
    const auto resume = fuzz::resumeOf (lines, blocks[0]);

    rules::AnswerJudge judge (fuzz::firstAddress, resume);
    juce::int64 confirmingAfter = -1;

    for (size_t b = 1; b < blocks.size(); ++b)
    {
        const auto head = rules::AnswerHead::read (blocks[b]);

        if (confirmingAfter >= 0)
        {
            for (const auto& line : judge.getConfirmationHeaders (confirmingAfter))
                fuzz::check (fuzz::isHeaderSafe (line), "a confirming request's lines are header-safe");

            if (judge.confirm (head, confirmingAfter) == rules::AnswerJudge::Ending::unconfirmed)
                fuzz::check (judge.getRefusal().isNotEmpty(), "an unconfirmed end says why");

            break;
        }

        for (const auto& line : judge.getRequestHeaders())
            fuzz::check (fuzz::isHeaderSafe (line), "a request's lines are header-safe");

        fuzz::check (fuzz::isHeaderSafe (judge.getAddress()) && ! judge.getAddress().containsChar (' '),
                     "every address asked is usable");

        const auto wasRanged = judge.isRanged();
        const auto verdict = blocks[b][0].trim() == "kept part gone" ? judge.keptPartGone() : judge.judge (head);

        if (verdict == Verdict::sendAgain)
            continue;

        if (verdict == Verdict::write)
        {
            fuzz::check (judge.getBodyLength() >= -1, "a body's length is known or -1");

            if (! judge.needsConfirmation())
                break;

            confirmingAfter = juce::jmax ((juce::int64) 0, judge.getBodyLength());
            continue;
        }

        if (verdict == Verdict::append)
            fuzz::check (wasRanged && resume.canResume() && judge.getBodyLength() == resume.completeLength - resume.received,
                         "only a resumed attempt appends, the rest exactly");
        else if (verdict == Verdict::refuse)
            fuzz::check (judge.getRefusal().isNotEmpty(), "a refusal says why");
        else
            fuzz::check (wasRanged, "only a ranged request waits to retry");

        break;
    }

    return 0;
}
