// Redirects followed from the address on the first line to each Location on the next ones: only
// to usable https addresses, never more than the limit, and to where a resolved one points.
#include "FuzzInput.h"

#include "rules/RedirectLocation.h"

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto lines = fuzz::linesOf (data, size);

    if (lines.isEmpty())
        return 0;

    rules::Redirects redirects (lines[0].trimCharactersAtEnd ("\r\n"));
    int followed = 0;

    for (int i = 1; i < lines.size(); ++i)
    {
        const auto location = lines[i].trimCharactersAtEnd ("\r\n");
        const auto from = redirects.getAddress();
        const auto resolved = rules::resolveRedirectLocation (from, location);

        if (redirects.follow (location).failed())
            continue;

        const auto& to = redirects.getAddress();
        fuzz::check (++followed <= rules::Redirects::maxHops, "no more hops than the limit");
        fuzz::check (to == resolved, "a redirect goes where its Location resolves to");
        fuzz::check (to.startsWithIgnoreCase ("https://") && fuzz::isHeaderSafe (to) && ! to.containsChar (' '),
                     "a followed address is usable https");
        fuzz::check (rules::resolveRedirectLocation (from, to) == to, "an address resolved once resolves to itself");
    }

    return 0;
}
