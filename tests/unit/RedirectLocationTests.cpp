// The Windows build follows redirects itself (its HTTP stack would follow them to any scheme):
// a Location is a URL reference, resolved against the address that gave it.

#include "rules/RedirectLocation.h"

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
        { "https://a.example:8443/r1/x.exe#f",               " ",                            "https://a.example:8443/r1/x.exe" },
        // A scheme is letters, digits, "+-." up to a ":" before any "/?#"; a "://" further on is not one.
        { "https://a.example:8443/r1/x.exe",                 "/dl/x.exe?src=https://cdn.example/", "https://a.example:8443/dl/x.exe?src=https://cdn.example/" },
        { "https://a.example:8443/r1/x.exe",                 "//b.example/x?u=https://y",    "https://b.example/x?u=https://y" },
        { "https://a.example:8443/r1/x.exe",                 "?u=https://y",                 "https://a.example:8443/r1/x.exe?u=https://y" },
        { "https://a.example:8443/r1/x.exe",                 "https:x.exe",                  "https:x.exe" },              // refused by the caller
        { "https://a.example:8443/r1/x.exe",                 "HTTPS://B.example/x",          "HTTPS://B.example/x" },
        { "https://a.example:8443/r1/x.exe",                 "a1+b-c.d:x.exe",               "a1+b-c.d:x.exe" },           // refused by the caller
        { "https://a.example:8443/r1/x.exe",                 "a/b:c",                        "https://a.example:8443/r1/a/b:c" },
        // Dot segments go from every path, never from the query.
        { "https://a.example:8443/r1/x.exe",                 "https://b.example/a/./b/../x.exe", "https://b.example/a/x.exe" },
        { "https://a.example:8443/r1/x.exe",                 "//b.example/a/../../x.exe",    "https://b.example/x.exe" },
        { "https://a.example:8443/r1/x.exe",                 "https://b.example/a/../x.exe?p=/../q", "https://b.example/x.exe?p=/../q" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (rules::resolveRedirectLocation (c.from, c.location), juce::String (c.expected)) << c.from << " + " << c.location;
}
