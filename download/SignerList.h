#pragma once

#include <juce_core/juce_core.h>

#include <vector>

/** Who may have signed the setup tool before it is started: the build constant
    VANTREL_ALLOWED_SIGNERS, parsed.

    Entries are separated by ";". An entry is the signing certificate's subject common name (what
    Windows shows as "Issued to" or "Name of signer"), optionally followed by "|" and its issuer's
    common name ("Issued by"); blanks around either are ignored, and names are compared exactly.
    An empty text means no check. Text that is not a valid list allows no one, so that a mistake
    can never turn the check off.
*/
class SignerList
{
public:
    SignerList() = default;

    static SignerList parse (const juce::String& text);

    /** What is wrong with the text, or empty when it is a valid list (or empty). */
    const juce::String& getError() const noexcept   { return error; }

    /** True only when no check was asked for. */
    bool isEmpty() const noexcept                     { return entries.empty() && error.isEmpty(); }

    bool allows (const juce::String& subject, const juce::String& issuer) const;

private:
    struct Entry
    {
        juce::String subject;
        juce::String issuer;   // empty: any issuer
    };

    std::vector<Entry> entries;
    juce::String error;
};
