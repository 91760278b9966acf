#include "FolderProtection.h"

#include <sddl.h>

#include <array>
#include <cstring>

namespace platform
{

namespace
{
    /** A well-known identity, made once per decision. */
    class KnownSid
    {
    public:
        explicit KnownSid (WELL_KNOWN_SID_TYPE type)
        {
            DWORD size = sizeof (bytes);
            made = CreateWellKnownSid (type, nullptr, bytes.data(), &size) != FALSE;
        }

        bool is (PSID other) const     { return made && other != nullptr && EqualSid (const_cast<BYTE*> (bytes.data()), other); }

    private:
        std::array<BYTE, SECURITY_MAX_SID_SIZE> bytes {};
        bool made = false;
    };

    juce::String describe (PSID sid)
    {
        LPWSTR text = nullptr;

        if (sid == nullptr || ! ConvertSidToStringSidW (sid, &text))
            return "an unreadable identity";

        const juce::String described (text);
        LocalFree (text);
        return described;
    }

    constexpr ACCESS_MASK changingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES
                                         | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | MAXIMUM_ALLOWED;

    ACCESS_MASK mapped (ACCESS_MASK mask)
    {
        GENERIC_MAPPING mapping { FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS };
        MapGenericMask (&mask, &mapping);
        return mask;
    }

    /** A high or system mandatory label with no-write-up (and no-read-up where `readUpToo`) on
        the folder itself and inherited by everything made in it, at any depth.
    */
    bool hasHighLabel (PACL labels, bool readUpToo)
    {
        ACL_SIZE_INFORMATION size {};

        if (labels == nullptr || ! GetAclInformation (labels, &size, sizeof (size), AclSizeInformation))
            return false;

        for (DWORD i = 0; i < size.AceCount; ++i)
        {
            void* entry = nullptr;

            if (! GetAce (labels, i, &entry) || static_cast<ACE_HEADER*> (entry)->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
                continue;

            const auto& label = *static_cast<SYSTEM_MANDATORY_LABEL_ACE*> (entry);
            const PSID level = const_cast<DWORD*> (&label.SidStart);
            const auto flags = label.Header.AceFlags;
            const SID_IDENTIFIER_AUTHORITY labelAuthority = SECURITY_MANDATORY_LABEL_AUTHORITY;
            const auto* authority = GetSidIdentifierAuthority (level);

            return authority != nullptr && std::memcmp (authority, &labelAuthority, sizeof (labelAuthority)) == 0
                && *GetSidSubAuthorityCount (level) == 1 && *GetSidSubAuthority (level, 0) >= SECURITY_MANDATORY_HIGH_RID
                && (label.Mask & SYSTEM_MANDATORY_LABEL_NO_WRITE_UP) != 0
                && (! readUpToo || (label.Mask & SYSTEM_MANDATORY_LABEL_NO_READ_UP) != 0)
                && (flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) == (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)
                && (flags & (INHERIT_ONLY_ACE | NO_PROPAGATE_INHERIT_ACE)) == 0;
        }

        return false;   // the first label is the one that counts
    }
}

bool isPrivilegedIdentity (PSID sid)
{
    return KnownSid (WinLocalSystemSid).is (sid) || KnownSid (WinBuiltinAdministratorsSid).is (sid);
}

juce::String findProtectionFault (PSECURITY_DESCRIPTOR descriptor, PSID tokenOwner, PSID tokenUser)
{
    const KnownSid ownerRights (WinCreatorOwnerRightsSid), creatorOwner (WinCreatorOwnerSid);

    const auto isTokens = [&] (PSID sid)
    {
        return sid != nullptr && ((tokenOwner != nullptr && EqualSid (sid, tokenOwner)) || (tokenUser != nullptr && EqualSid (sid, tokenUser)));
    };

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr, labels = nullptr;
    PSID owner = nullptr;

    if (descriptor == nullptr || ! GetSecurityDescriptorControl (descriptor, &control, &revision)
         || ! GetSecurityDescriptorDacl (descriptor, &present, &list, &defaulted) || ! present || list == nullptr)
        return "no access list";

    if ((control & SE_DACL_PROTECTED) == 0)
        return "access list not protected from inheritance";

    if (! GetSecurityDescriptorOwner (descriptor, &owner, &defaulted) || owner == nullptr)
        return "no owner";

    if (! isPrivilegedIdentity (owner) && ! isTokens (owner))
        return "owned by " + describe (owner);

    // An owner that is not privileged may change the list whatever it says, unless the label stops
    // it; and may open what is inside for reading (and hold it), unless the label stops that too.
    const auto ownedByUser = ! isPrivilegedIdentity (owner);
    ACL_SIZE_INFORMATION size {};

    if (! GetAclInformation (list, &size, sizeof (size), AclSizeInformation))
        return "unreadable access list";

    for (DWORD i = 0; i < size.AceCount; ++i)
    {
        void* entry = nullptr;

        if (! GetAce (list, i, &entry))
            return "unreadable access list";

        const auto type = static_cast<ACE_HEADER*> (entry)->AceType;

        if (type == ACCESS_DENIED_ACE_TYPE)
            continue;

        if (type != ACCESS_ALLOWED_ACE_TYPE)
            return "an access entry of another kind (" + juce::String (type) + ")";

        const auto& allowed = *static_cast<ACCESS_ALLOWED_ACE*> (entry);
        const PSID who = const_cast<DWORD*> (&allowed.SidStart);

        if ((mapped (allowed.Mask) & changingRights) == 0 || isPrivilegedIdentity (who))
            continue;

        // The owner's entries are the owner's: decided by who the owner is, above.
        if (ownerRights.is (who) || creatorOwner.is (who))
            continue;

        // The user's own identity, which its processes that are not elevated hold too: the label
        // below is what keeps them out.
        if (! isTokens (who))
            return describe (who) + " may change it";
    }

    // Always labelled: a list alone is one setting away (an administrator's default owner can be
    // the user) from letting the user's processes in.
    BOOL labelled = FALSE;

    if (! GetSecurityDescriptorSacl (descriptor, &labelled, &labels, &defaulted) || ! labelled || ! hasHighLabel (labels, ownedByUser))
        return ownedByUser ? "no high integrity label against writing and reading" : "no high integrity label";

    return {};
}

} // namespace platform
