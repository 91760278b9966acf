// A header line's bytes become text the same way whatever a server puts in them: UTF-8 as such,
// anything else a character per byte, never a string that reads past its end.

#include "rules/AnswerHead.h"

#include <gtest/gtest.h>

namespace
{
    juce::String lineOf (const std::string& bytes)
    {
        return rules::AnswerHead::lineFromBytes (bytes.data(), bytes.size());
    }
}

TEST (AnswerHead, AUtf8LineIsReadAsUtf8)
{
    EXPECT_EQ (lineOf ("ETag: \"caf\xc3\xa9\"\r\n"), juce::String (juce::CharPointer_UTF8 ("ETag: \"caf\xc3\xa9\"\r\n")));
}

TEST (AnswerHead, ALeadByteWithoutItsContinuationIsOneCharacter)
{
    // Found by the answer-head fuzzer: "\xec\n" made a string that read past its end.
    for (const std::string bytes : { "\xec\n", "\xec", "X: \xec\r\n", "X: \xf4\n)3" })
    {
        const auto line = lineOf (bytes);
        EXPECT_EQ (line.length(), (int) bytes.size()) << bytes;
        EXPECT_EQ (line.trim(), line.trim().trim());
        EXPECT_EQ (rules::AnswerHead::read ({ line }).getStatus(), 0);
    }

    EXPECT_EQ ((juce::uint32) lineOf ("\xec\n")[0], 0xecu);
}

TEST (AnswerHead, ALineEndsAtANulByte)
{
    EXPECT_EQ (lineOf (std::string ("ETag: \"a\"\0\"b\"", 13)), "ETag: \"a\"");
}

TEST (AnswerHead, AStatusBelow100IsNoStatus)
{
    // Found by the answer-head fuzzer: "084" was read as status 84.
    EXPECT_EQ (rules::AnswerHead::read ({ "HTTP/1.1 084 Found", "Content-Length: 3" }).getStatus(), 0);
    EXPECT_EQ (rules::AnswerHead::read ({ "HTTP/1.1 100 Continue" }).getStatus(), 100);
}
