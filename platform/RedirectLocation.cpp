#include "RedirectLocation.h"

namespace platform
{

namespace
{
    /** "a/./b/../c" as "a/c": dot segments removed, as a reference's path is merged. */
    juce::String removeDotSegments (const juce::String& path)
    {
        juce::StringArray kept;
        const auto segments = juce::StringArray::fromTokens (path, "/", {});

        for (int i = 0; i < segments.size(); ++i)
        {
            const auto& segment = segments[i];
            const auto last = i == segments.size() - 1;

            if (segment == ".." )
            {
                if (kept.size() > 1)
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

        return kept.joinIntoString ("/");
    }
}

juce::String resolveRedirectLocation (const juce::String& from, const juce::String& location)
{
    const auto reference = location.trim().upToFirstOccurrenceOf ("#", false, false);
    const auto scheme = from.upToFirstOccurrenceOf ("://", false, false);

    if (reference.contains ("://"))
        return reference;

    if (reference.startsWith ("//"))
        return scheme + ":" + reference;

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
