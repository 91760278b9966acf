#include "rules/RedirectLocation.h"
#include "constants/Texts.h"

namespace rules
{

namespace
{
    /** "/a/./b/../c" as "/a/c": dot segments removed from a reference's path. */
    juce::String removeDotSegments (const juce::String& path)
    {
        const auto rooted = path.startsWithChar ('/');
        juce::StringArray segments, kept;
        segments.addTokens (rooted ? path.substring (1) : path, "/", {});

        for (int i = 0; i < segments.size(); ++i)
        {
            const auto& segment = segments[i];
            const auto last = i == segments.size() - 1;

            if (segment == "..")
            {
                if (! kept.isEmpty())
                    kept.remove (kept.size() - 1);

                if (last)
                    kept.add ({});
            }
            else if (segment == ".")
            {
                if (last)
                    kept.add ({});
            }
            else
            {
                kept.add (segment);
            }
        }

        return (rooted ? "/" : "") + kept.joinIntoString ("/");
    }

    /** The length of the reference's scheme, 0 when it has none: a letter, then letters, digits,
        "+-.", up to a ":" (which a "://" in a query or a "b:c" after a "/" is not).
    */
    int schemeLength (const juce::String& reference)
    {
        const juce::String letters ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
        const auto colon = reference.indexOfChar (':');

        if (colon <= 0 || ! letters.containsChar (reference[0])
              || ! reference.substring (0, colon).containsOnly (letters + "0123456789+-."))
            return 0;

        return colon;
    }

    /** "//authority/path?query" or "path?query" with dot segments removed from the path only:
        the authority and the query (which may hold "/../") stay as they are.
    */
    juce::String withoutDotSegments (const juce::String& hierarchy)
    {
        const auto authorityEnd = hierarchy.startsWith ("//") ? hierarchy.indexOfAnyOf ("/?", 2) : 0;
        const auto authority = authorityEnd < 0 ? hierarchy : hierarchy.substring (0, authorityEnd);
        const auto rest = hierarchy.substring (authority.length());
        const auto path = rest.upToFirstOccurrenceOf ("?", false, false);

        return authority + removeDotSegments (path) + rest.substring (path.length());
    }
}

juce::String resolveRedirectLocation (const juce::String& from, const juce::String& location)
{
    const auto reference = location.trim().upToFirstOccurrenceOf ("#", false, false);
    const auto scheme = from.upToFirstOccurrenceOf ("://", false, false);

    if (const auto length = schemeLength (reference); length > 0)
        return reference.substring (0, length + 1) + withoutDotSegments (reference.substring (length + 1));

    if (reference.startsWith ("//"))
        return scheme + ":" + withoutDotSegments (reference);

    // The base: scheme and authority, then its path without query or fragment.
    const auto afterScheme = from.fromFirstOccurrenceOf ("://", false, false);
    const auto authority = afterScheme.upToFirstOccurrenceOf ("/", false, false)
                                      .upToFirstOccurrenceOf ("?", false, false).upToFirstOccurrenceOf ("#", false, false);
    const auto origin = scheme + "://" + authority;
    const auto rest = afterScheme.substring (authority.length()).upToFirstOccurrenceOf ("#", false, false);
    const auto basePath = rest.upToFirstOccurrenceOf ("?", false, false);

    if (reference.isEmpty())
        return origin + rest;

    if (reference.startsWithChar ('?'))
        return origin + (basePath.isEmpty() ? juce::String ("/") : basePath) + reference;

    const auto path = reference.upToFirstOccurrenceOf ("?", false, false);
    const auto query = reference.substring (path.length());
    const auto merged = path.startsWithChar ('/') ? path
                                                  : (basePath.isEmpty() ? juce::String ("/") : basePath.upToLastOccurrenceOf ("/", true, false)) + path;

    return origin + removeDotSegments (merged) + query;
}

juce::String escapeRedirectLocation (const juce::String& location)
{
    // Unreserved, reserved (RFC 3986 2.2, 2.3) and "%" for what is escaped already.
    const juce::String allowed ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~:/?#[]@!$&'()*+,;=%");
    juce::String escaped;

    for (auto* p = location.toRawUTF8(); *p != 0; ++p)
    {
        const auto byte = static_cast<unsigned char> (*p);

        if (byte < 0x20 || byte == 0x7f || allowed.containsChar ((juce::juce_wchar) byte))
            escaped += juce::String::charToString ((juce::juce_wchar) byte);
        else
            escaped += "%" + juce::String::toHexString ((int) byte).toUpperCase().paddedLeft ('0', 2);
    }

    return escaped;
}

Redirects::Redirects (const juce::String& firstAddress)
{
    addresses.add (firstAddress);
}

bool Redirects::isRedirect (int status) noexcept
{
    // 300 (a choice to make), 304 (not modified) and 305 (a proxy to use) are not moves.
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

namespace
{
    /** "https://<host>[:port]<path>" with a host name or bracketed address, nothing outside
        visible ASCII anywhere: a URL that every system's stack reads the same way.
    */
    bool isUsableHttpsUrl (const juce::String& url)
    {
        for (const auto c : url)
            if (c <= 0x20 || c >= 0x7f)
                return false;

        const auto authority = url.substring (8).upToFirstOccurrenceOf ("/", false, false).upToFirstOccurrenceOf ("?", false, false);
        const auto host = authority.startsWithChar ('[') ? authority.upToFirstOccurrenceOf ("]", true, false)
                                                         : authority.upToFirstOccurrenceOf (":", false, false);
        const auto port = authority.substring (host.length());

        return host.isNotEmpty()
            && (host.startsWithChar ('[') ? host.endsWithChar (']') && host.length() > 2
                                          : host.containsOnly ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-"))
            && (port.isEmpty() || (port.length() <= 6 && port.startsWithChar (':') && port.substring (1).containsOnly ("0123456789")
                                   && port.substring (1).getIntValue() > 0 && port.substring (1).getIntValue() < 65536));
    }
}

juce::Result Redirects::follow (const juce::String& location)
{
    // A Location with a space or non-ASCII text is followed as browsers and curl send it.
    const auto target = resolveRedirectLocation (getAddress(), escapeRedirectLocation (location.trim()));
    const auto scheme = target.upToFirstOccurrenceOf (":", false, false);

    if (! scheme.equalsIgnoreCase ("https"))
        return juce::Result::fail (Texts::Refusal::awayFromHttps + target + ")");

    if (! target.substring (0, 8).equalsIgnoreCase ("https://") || ! isUsableHttpsUrl (target))
        return juce::Result::fail (Texts::Refusal::unusableAddress + location.trim() + ")");

    // The scheme and host are compared without case, as they mean.
    const auto key = [] (const juce::String& url)
    {
        const auto pathAt = url.indexOfAnyOf ("/?", 8);
        return pathAt < 0 ? url.toLowerCase() : url.substring (0, pathAt).toLowerCase() + url.substring (pathAt);
    };

    for (const auto& asked : addresses)
        if (key (asked) == key (target))
            return juce::Result::fail (Texts::Refusal::redirectLoop + target + ")");

    if (addresses.size() > maxHops)
        return juce::Result::fail (Texts::Refusal::moreThan + juce::String (maxHops) + Texts::Refusal::redirects);

    addresses.add (target);
    return juce::Result::ok();
}

} // namespace rules
