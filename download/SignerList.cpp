#include "SignerList.h"

#include <cstring>

namespace
{
    /** The hash after `prefix`, in lower case, when `item` is one; empty otherwise. */
    juce::String hashAfter (const juce::String& item, const char* prefix)
    {
        if (! item.startsWithIgnoreCase (prefix))
            return {};

        const auto hash = item.substring ((int) std::strlen (prefix)).trim().toLowerCase();
        return hash.length() == 64 && hash.containsOnly ("0123456789abcdef") ? hash : juce::String ("-");
    }
}

SignerList SignerList::parse (const juce::String& text)
{
    SignerList list;

    if (text.trim().isEmpty())
        return list;

    for (const auto& item : juce::StringArray::fromTokens (text, ";", {}))
    {
        const auto trimmed = item.trim();
        const auto certificate = hashAfter (trimmed, "sha256:");
        const auto publicKey = hashAfter (trimmed, "key-sha256:");
        const auto parts = juce::StringArray::fromTokens (item, "|", {});
        const auto subject = parts[0].trim();
        const auto issuer = parts[1].trim();

        // The same rules as the configure-time check in cmake/BuildOptions.cmake.
        const auto badHash = certificate == "-" || publicKey == "-";
        const auto badNames = subject.isEmpty() || parts.size() > 2 || (parts.size() == 2 && issuer.isEmpty())
                           || item.containsAnyOf ("\"\\");

        if (badHash || (certificate.isEmpty() && publicKey.isEmpty() && badNames))
        {
            list.entries.clear();
            list.error = "not a signer: \"" + item + "\" (want \"subject name\", \"subject name|issuer name\", "
                         "\"sha256:<64 hex digits>\" or \"key-sha256:<64 hex digits>\")";
            return list;
        }

        if (certificate.isNotEmpty())
            list.entries.push_back ({ Entry::Kind::certificate, certificate, {} });
        else if (publicKey.isNotEmpty())
            list.entries.push_back ({ Entry::Kind::publicKey, publicKey, {} });
        else
            list.entries.push_back ({ Entry::Kind::names, subject, issuer });
    }

    return list;
}

bool SignerList::allows (const platform::SignerIdentity& signer) const
{
    if (signer.subject.isEmpty())
        return false;

    for (const auto& entry : entries)
    {
        const auto allowed = [&]
        {
            switch (entry.kind)
            {
                case Entry::Kind::certificate:  return signer.certificateSha256 == entry.subject;
                case Entry::Kind::publicKey:    return signer.publicKeySha256 == entry.subject;
                case Entry::Kind::names:        break;
            }

            return entry.subject == signer.subject && (entry.issuer.isEmpty() || entry.issuer == signer.issuer);
        }();

        if (allowed)
            return true;
    }

    return false;
}
