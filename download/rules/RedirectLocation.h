#pragma once

#include <juce_core/juce_core.h>

namespace platform
{
    /** Where a redirect's `location` leads, resolved as a URL reference against `from`, the
        address that gave it: absolute ("https://host/path"), network-path ("//host/path"),
        path-absolute ("/path?query") and path-relative ("path", "../path", "?query") forms.
    */
    juce::String resolveRedirectLocation (const juce::String& from, const juce::String& location);
}
