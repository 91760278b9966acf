#pragma once

#include "NoFollowOpen.h"

#include <windows.h>

#include <vector>

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

    /** The identity the program's token names as its user (TokenUser) or as the owner of what it
        makes (TokenOwner), copied; empty when it cannot be read.
    */
    inline Handle openOwnToken()
    {
        HANDLE opening = nullptr;
        return Handle (OpenProcessToken (GetCurrentProcess(), TOKEN_QUERY, &opening) ? opening : nullptr);
    }

    inline std::vector<BYTE> getTokensSid (TOKEN_INFORMATION_CLASS which)
    {
        const auto token = openOwnToken();
        alignas (8) char information[sizeof (TOKEN_USER) + SECURITY_MAX_SID_SIZE] {};
        DWORD size = 0;

        if (! GetTokenInformation (token.handle, which, information, sizeof (information), &size))
            return {};

        const auto named = which == TokenOwner ? reinterpret_cast<TOKEN_OWNER*> (information)->Owner
                                               : reinterpret_cast<TOKEN_USER*> (information)->User.Sid;
        const auto* bytes = static_cast<const BYTE*> (named);
        return { bytes, bytes + GetLengthSid (named) };
    }

    /** Whether `sid` is the one the program's token names as `which` (see getTokensSid). */
    inline bool isTokens (PSID sid, TOKEN_INFORMATION_CLASS which)
    {
        auto named = getTokensSid (which);
        return sid != nullptr && ! named.empty() && EqualSid (named.data(), sid) != FALSE;
    }

    /** Whether the program runs with a full token from the administrator prompt, whatever made it
        one (Administrators, Backup Operators, a privilege such as SeBackup or SeDebug).
    */
    inline bool hasElevatedToken()
    {
        const auto token = openOwnToken();
        TOKEN_ELEVATION elevation {};
        DWORD size = 0;
        return GetTokenInformation (token.handle, TokenElevation, &elevation, sizeof (elevation), &size)
            && elevation.TokenIsElevated != 0;
    }
}
