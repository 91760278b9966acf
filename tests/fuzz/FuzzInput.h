#pragma once

#include "rules/AnswerHead.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

/** What the fuzz targets share: an input read as the lines of a server's answers, and a check
    that stops the run (a crash to libFuzzer, a failure to the replay) when a rule is broken.
*/
namespace fuzz
{
    /** Each line up to its '\n' read by itself, as the Linux layer reads each header line (its
        line end kept: the reader must ignore it).
    */
    inline juce::StringArray linesOf (const uint8_t* data, size_t size)
    {
        juce::StringArray lines;
        size_t start = 0;

        for (size_t i = 0; i <= size; ++i)
        {
            if (i == size ? start < size : data[i] == '\n')
            {
                const auto end = i == size ? i : i + 1;
                lines.add (rules::AnswerHead::lineFromBytes (reinterpret_cast<const char*> (data) + start, end - start));
                start = i + 1;
            }
        }

        return lines;
    }

    /** The lines in groups, an empty line (or one of line ends only) ending each. */
    inline std::vector<juce::StringArray> blocksOf (const juce::StringArray& lines, int from = 0)
    {
        std::vector<juce::StringArray> blocks (1);

        for (int i = from; i < lines.size(); ++i)
        {
            if (lines[i].trimCharactersAtEnd ("\r\n").isEmpty())
                blocks.emplace_back();
            else
                blocks.back().add (lines[i]);
        }

        return blocks;
    }

    /** Where every attempt asks; the mirror's first language path. */
    inline const juce::String firstAddress { "https://localhost:48443/VantrelInstall_winCN.exe" };

    /** The bytes an earlier attempt kept: `kept` is "<received>/<complete length>", and the
        earlier answer's head gives the validators; nothing kept when it is no such pair.
    */
    inline rules::DownloadResume resumeOf (const juce::StringArray& kept, const juce::StringArray& earlierHead)
    {
        const auto pair = kept[0].trim();
        rules::DownloadResume resume;

        if (pair.matchesWildcard ("*/*", false) && pair.removeCharacters ("/").containsOnly ("0123456789") && pair.length() < 30)
        {
            resume.received = pair.upToFirstOccurrenceOf ("/", false, false).getLargeIntValue();
            resume.completeLength = pair.fromFirstOccurrenceOf ("/", false, false).getLargeIntValue();
            resume.validators = rules::AnswerHead::read (earlierHead).validatorsOfBody();
            resume.address = firstAddress;
        }

        return resume;
    }

    /** A text that may go into a request's header line: no control byte, nothing beyond ASCII. */
    inline bool isHeaderSafe (const juce::String& text)
    {
        for (const auto c : text)
            if (c < 0x20 || c >= 0x7f)
                return false;

        return true;
    }

    inline void check (bool holds, const char* rule)
    {
        if (! holds)
        {
            std::fprintf (stderr, "broken: %s\n", rule);
            std::abort();
        }
    }
}
