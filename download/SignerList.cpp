#include "SignerList.h"

SignerList SignerList::parse (const juce::String& text)
{
    SignerList list;

    if (text.trim().isEmpty())
        return list;

    for (const auto& item : juce::StringArray::fromTokens (text, ";", {}))
    {
        const auto parts = juce::StringArray::fromTokens (item, "|", {});
        const auto subject = parts[0].trim();
        const auto issuer = parts[1].trim();

        // The same rules as the configure-time check in cmake/BuildOptions.cmake.
        if (subject.isEmpty() || parts.size() > 2 || (parts.size() == 2 && issuer.isEmpty())
             || item.containsAnyOf ("\"\\"))
        {
            list.entries.clear();
            list.error = "not a signer: \"" + item + "\" (want \"subject name\" or \"subject name|issuer name\")";
            return list;
        }

        list.entries.push_back ({ subject, issuer });
    }

    return list;
}

bool SignerList::allows (const juce::String& subject, const juce::String& issuer) const
{
    if (subject.isEmpty())
        return false;

    for (const auto& entry : entries)
        if (entry.subject == subject && (entry.issuer.isEmpty() || entry.issuer == issuer))
            return true;

    return false;
}
