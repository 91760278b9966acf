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

TEST (RedirectLocation, FollowsALocationAsBrowsersEscapeItAndRefusesOneWithAControlCharacter)
{
    const juce::String from ("https://a.example:8443/VantrelInstall_winCN.exe");
    const struct { juce::String location; const char* expected; } cases[] = {
        { "/dl/Vantrel Setup.exe",                        "https://a.example:8443/dl/Vantrel%20Setup.exe" },
        { "  /dl/Vantrel Setup.exe  ",                    "https://a.example:8443/dl/Vantrel%20Setup.exe" },
        { "Vantrel Setup/x.exe?name=a b",                 "https://a.example:8443/Vantrel%20Setup/x.exe?name=a%20b" },
        { "https://b.example/a\"b<c>d`e{f}g|h^i\\j.exe", "https://b.example/a%22b%3Cc%3Ed%60e%7Bf%7Dg%7Ch%5Ei%5Cj.exe" },
        { juce::String (juce::CharPointer_UTF8 ("/dl/\xe5\xae\x89\xe8\xa3\x85 \xc3\xa9.exe")),
                                                          "https://a.example:8443/dl/%E5%AE%89%E8%A3%85%20%C3%A9.exe" },
        // What is escaped already, or allowed, stays as it came.
        { "/dl/Vantrel%20Setup.exe?a=1&b=[2]#part",       "https://a.example:8443/dl/Vantrel%20Setup.exe?a=1&b=[2]" },
        // A control character, or a host no escaping makes usable: a server error.
        { "/dl/Vantrel\tSetup.exe",                       nullptr },
        { "/dl/Vantrel\x01Setup.exe",                     nullptr },
        { "/dl/Vantrel\x7fSetup.exe",                     nullptr },
        { "https://b example/x.exe",                      nullptr },
        { juce::String (juce::CharPointer_UTF8 ("https://b\xc3\xa9.example/x.exe")), nullptr },
    };

    for (const auto& c : cases)
    {
        rules::Redirects redirects (from);
        const auto followed = redirects.follow (c.location);

        if (c.expected == nullptr)
        {
            EXPECT_EQ (followed.getErrorMessage(), "redirected to an unusable address (" + c.location.trim() + ")") << c.location;
        }
        else
        {
            EXPECT_TRUE (followed.wasOk()) << c.location << ": " << followed.getErrorMessage();
            EXPECT_EQ (redirects.getAddress(), juce::String (c.expected)) << c.location;
        }
    }
}
