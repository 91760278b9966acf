#pragma once

#include "NoFollowOpen.h"

#include <windows.h>

namespace platform
{
    /** Wine: no elevation boundary (every process counts as an administrator) and no access
        lists kept or enforced on its drives.
    */
    inline bool isRunningUnderWine()
    {
        const auto ntdll = GetModuleHandleW (L"ntdll.dll");
        return ntdll != nullptr && GetProcAddress (ntdll, "wine_get_version") != nullptr;
    }

    /** Whether `sid` is the one the program's token names as its user (TokenUser) or as the owner
        of what it makes (TokenOwner).
    */
    inline bool isTokens (PSID sid, TOKEN_INFORMATION_CLASS which)
    {
        HANDLE opening = nullptr;

        if (sid == nullptr || ! OpenProcessToken (GetCurrentProcess(), TOKEN_QUERY, &opening))
            return false;

        const Handle token (opening);
        alignas (8) char information[sizeof (TOKEN_USER) + SECURITY_MAX_SID_SIZE] {};
        DWORD size = 0;

        if (! GetTokenInformation (token.handle, which, information, sizeof (information), &size))
            return false;

        const auto named = which == TokenOwner ? reinterpret_cast<TOKEN_OWNER*> (information)->Owner
                                               : reinterpret_cast<TOKEN_USER*> (information)->User.Sid;
        return EqualSid (named, sid) != FALSE;
    }
}
