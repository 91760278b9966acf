#include "download/rules/RedirectLocation.h"

namespace platform
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

} // namespace platform
