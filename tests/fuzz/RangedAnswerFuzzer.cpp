// The answer to a ranged request against the kept bytes: the first line is "<received>/<complete>",
// then the head the kept bytes came with, an empty line, and the answer's head. Only a part that
// continues the very version kept, to its end, is appended.
#include "FuzzInput.h"

#include "rules/RangedAnswer.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto lines = fuzz::linesOf (data, size);

    // Every value as a date too: one taken is the fixed form, whatever else the line holds.
    for (const auto& line : lines)
        for (const auto& text : { line, line.fromFirstOccurrenceOf (":", false, false).trim() })
            if (const auto seconds = rules::RangedAnswer::parseHttpDate (text); seconds != -1)
                fuzz::check (text.length() == 29 && text.endsWith (" GMT"), "a date taken is IMF-fixdate");

    const auto blocks = fuzz::blocksOf (lines, 1);
    const auto resume = fuzz::resumeOf (lines, blocks[0]);
    const auto answer = rules::AnswerHead::read (blocks.size() > 1 ? blocks[1] : juce::StringArray());

    // A judge asks for the rest only of bytes it can resume.
    if (! resume.canResume())
        return 0;

    juce::String note;
    const auto use = rules::RangedAnswer::judge (resume, answer, note);
    fuzz::check (note.isNotEmpty(), "every use is said in the log");

    if (use == rules::RangedAnswer::Use::append)
    {
        const auto asked = resume.validators.ifRange();
        const auto length = answer.getContentLength();

        fuzz::check (answer.getStatus() == 206 && ! answer.isCoded() && answer.getRepeatedField().isEmpty(),
                     "only a plain part is appended");
        fuzz::check (answer.getContentRange().trim().endsWith ("-" + juce::String (resume.completeLength - 1) + "/" + juce::String (resume.completeLength)),
                     "an appended part ends at the kept file's end");
        fuzz::check (length < 0 || length == resume.completeLength - resume.received, "an appended part is the rest exactly");
        fuzz::check (asked.isNotEmpty() && (asked == answer.getValidators().etag || asked == answer.getValidators().lastModified),
                     "an appended part names the version asked for");
    }

    return 0;
}
