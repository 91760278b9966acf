// The Windows build follows redirects itself (its HTTP stack would follow them to any scheme):
// a Location is a URL reference, resolved against the address that gave it.

#include "platform/RedirectLocation.h"

#include <gtest/gtest.h>

TEST (RedirectLocation, ResolvesEveryFormOfReferenceAgainstTheAddressThatGaveIt)
{
    const struct { const char* from; const char* location; const char* expected; } cases[] = {
        { "https://a.example:8443/VantrelInstall_winCN.exe", "https://b.example/x.exe",      "https://b.example/x.exe" },
        { "https://a.example:8443/VantrelInstall_winCN.exe", "//b.example/x.exe",            "https://b.example/x.exe" },
        { "https://a.example:8443/VantrelInstall_winCN.exe", "/r1/x.exe?from=top",           "https://a.example:8443/r1/x.exe?from=top" },
        { "https://a.example:8443/r1/x.exe?from=top",        "../r2/x.exe",                  "https://a.example:8443/r2/x.exe" },
        { "https://a.example:8443/r1/x.exe?a=/b/c",          "y.exe",                        "https://a.example:8443/r1/y.exe" },
        { "https://a.example:8443/r1/x.exe?a=1",             "?a=2",                         "https://a.example:8443/r1/x.exe?a=2" },
        { "https://a.example:8443/r1/r2/x.exe",              "./../../../y.exe#part",        "https://a.example:8443/y.exe" },
        { "https://a.example:8443",                          "x.exe",                        "https://a.example:8443/x.exe" },
        { "https://a.example:8443/x.exe",                    "http://a.example/x.exe",       "http://a.example/x.exe" },   // refused by the caller
    };

    for (const auto& c : cases)
        EXPECT_EQ (platform::resolveRedirectLocation (c.from, c.location), juce::String (c.expected)) << c.from << " + " << c.location;
}
