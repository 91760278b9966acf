#pragma once

#include <juce_core/juce_core.h>

#include <windows.h>

namespace platform
{
    /** The security descriptor the per-run folder is made with when the program runs elevated,
        whatever made its token elevated (Administrators, Backup Operators, a privilege): full
        access for the system, the administrators and the folder's owner, whom the system makes the
        token's own owner (Administrators for an administrator under the default policy, else the
        user); none inherited from the user's temporary folder; and a high mandatory label, which
        keeps every process of the user that is not elevated (medium integrity) from writing,
        deleting or relabelling it or anything made in it. Where the owner is the user
        (`ownedByUser`), the list lets the user's processes read, so the label also keeps them from
        opening anything inside for reading: they could hold the download open or under an
        oplock, and the folder would never empty.
    */
    inline const wchar_t* getProtectedFolderDescriptor (bool ownedByUser)
    {
        return ownedByUser ? L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)S:(ML;OICI;NWNR;;;HI)"
                           : L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;OW)S:(ML;OICI;NW;;;HI)";
    }

    /** Whether `sid` is the system or the administrators: an owner the user's processes are not. */
    bool isPrivilegedIdentity (PSID sid);

    /** Why a folder whose security descriptor (owner, access list and label) reads back as
        `descriptor` could be changed by a process that is not elevated; empty when it could not.

        Decided by meaning, not by the bytes set, so that the forms NTFS may store the same list in
        (generic rights mapped, an entry split into one for the folder and an inherit-only one)
        pass: the list is present and protected from inheritance; the owner is the system, the
        administrators, or `tokenOwner` / `tokenUser` (the elevated token's); every entry that
        grants a right to write, append, delete or change the list or owner grants it to the
        system, the administrators, or to the owner or the token's own identities; and where such
        an entry (or the owner itself) is one a process of the user that is not elevated also
        holds, a high (or system) mandatory label with no-write-up covers the folder and everything
        made in it at any depth; that label is required whoever the owner is, and with no-read-up
        too where the owner is not the system or the administrators. Denying entries only take
        away and are not looked at; an entry of any other kind is refused.
    */
    juce::String findProtectionFault (PSECURITY_DESCRIPTOR descriptor, PSID tokenOwner, PSID tokenUser);
}
