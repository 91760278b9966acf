#pragma once

#include <juce_core/juce_core.h>

namespace rules
{
    /** Where a redirect's `location` leads, resolved as a URL reference against `from`, the
        address that gave it: absolute ("https://host/path"), network-path ("//host/path"),
        path-absolute ("/path?query") and path-relative ("path", "../path", "?query") forms.
    */
    juce::String resolveRedirectLocation (const juce::String& from, const juce::String& location);

    /** `location` as browsers send it: each byte of its UTF-8 outside the characters a URL
        may hold ("/dl/Vantrel Setup.exe" as "/dl/Vantrel%20Setup.exe"). Control characters stay
        as they are, so that such a Location is still refused as unusable.
    */
    juce::String escapeRedirectLocation (const juce::String& location);

    /** The redirects of one request, followed by the same rule on every system: 301, 302, 303,
        307 and 308 with a Location; to https only; at most maxHops; never back to an address
        already asked.
    */
    class Redirects
    {
    public:
        static constexpr int maxHops = 5;

        explicit Redirects (const juce::String& firstAddress);

        /** Whether an answer with this status and a Location is a redirect to follow. */
        static bool isRedirect (int status) noexcept;

        /** Where the next request goes: the first address, or where the last redirect led. */
        const juce::String& getAddress() const noexcept    { return addresses.getReference (addresses.size() - 1); }

        /** Follows a redirect's `location`; a failure says why it cannot be (for the log), and
            then the request can never succeed.
        */
        juce::Result follow (const juce::String& location);

    private:
        juce::StringArray addresses;   // asked so far, the first included
    };
}
