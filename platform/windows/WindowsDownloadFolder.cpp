#include "platform/Platform.h"
#include "platform/windows/AuthenticodeCheck.h"
#include "NoFollowOpen.h"

#include <windows.h>
#include <sddl.h>

namespace platform
{

namespace
{
    /** The program runs elevated; the user's temporary folder is writable by every process of the
        same user, elevated or not. Made with a protected access list, the folder admits only the
        system and administrators to change it, and its owner (the user, under the default policy)
        to read it. Holding it open without delete sharing keeps anyone from renaming it away and
        putting another folder in its place; holding the checked file open without write or delete
        sharing keeps it unchanged until the tool has started from it.
    */
    constexpr auto protectedFolderAccess = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;OW)";

    bool isElevated()
    {
        SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;

        if (! AllocateAndInitializeSid (&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                        0, 0, 0, 0, 0, 0, &administrators))
            return false;

        BOOL member = FALSE;
        const auto ok = CheckTokenMembership (nullptr, administrators, &member);
        FreeSid (administrators);
        return ok && member;
    }

    /** Unbuffered writes to a file handle it owns. */
    class HandleOutputStream final : public juce::OutputStream
    {
    public:
        explicit HandleOutputStream (Handle&& file) : output (std::move (file)) {}

        void flush() override {}

        juce::int64 getPosition() override
        {
            LARGE_INTEGER position {};
            return SetFilePointerEx (output.handle, {}, &position, FILE_CURRENT) ? position.QuadPart : -1;
        }

        bool setPosition (juce::int64 newPosition) override
        {
            LARGE_INTEGER position {};
            position.QuadPart = newPosition;
            return SetFilePointerEx (output.handle, position, nullptr, FILE_BEGIN) != FALSE;
        }

        bool write (const void* data, size_t size) override
        {
            DWORD written = 0;
            return WriteFile (output.handle, data, (DWORD) size, &written, nullptr) && written == (DWORD) size;
        }

    private:
        Handle output;
    };

    class WindowsDownloadFolder final : public DownloadFolder
    {
    public:
        explicit WindowsDownloadFolder (Handle&& heldFolder) : folder (std::move (heldFolder)) {}

        std::unique_ptr<juce::OutputStream> createFile (const juce::String& name) override
        {
            // What is there goes first, only when it really is in the folder (a link's target never).
            if (auto existing = openBelow (folder.handle, name, DELETE, FILE_OPEN, 0); existing.handle != nullptr)
            {
                if (! isReachedAsNamed (existing, folder.handle, name) || ! deleteOnClose (existing))
                    return nullptr;
            }

            // Made new by name relative to the held folder; as before, others may only read it.
            auto made = openBelow (folder.handle, name, FILE_GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, FILE_SHARE_READ);

            if (made.handle == nullptr)
                return nullptr;

            return std::make_unique<HandleOutputStream> (std::move (made));
        }

        bool lockFile (const juce::File& target) override
        {
            // By name relative to the held folder, as the file was made: what its path leads to now may differ.
            const auto name = target.getFileName();
            locked = openBelow (folder.handle, name, FILE_GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE, FILE_SHARE_READ);

            if (! isReachedAsNamed (locked, folder.handle, name))
            {
                unlockFile();
                return false;
            }

            lockedFile = target;
            return true;
        }

        juce::String checkSignature (const SignerFilter& isAllowed) override
        {
            jassert (locked.handle != nullptr);   // lockFile first: what is checked must stay as it is

            if (locked.handle == nullptr)
                return "not locked";

            return checkAuthenticode (locked.handle, lockedFile, isAllowed);
        }

        void unlockFile() override
        {
            locked = Handle();
        }

    private:
        const Handle folder;
        Handle locked;
        juce::File lockedFile;
    };
}

std::unique_ptr<DownloadFolder> createDownloadFolder (const juce::File& folderToMake)
{
    PSECURITY_DESCRIPTOR protection = nullptr;

    // Not elevated, nothing runs with more rights than the processes around it: no boundary to keep.
    if (isElevated()
        && ! ConvertStringSecurityDescriptorToSecurityDescriptorW (protectedFolderAccess, SDDL_REVISION_1, &protection, nullptr))
        return nullptr;

    // Made and opened in one step, by name relative to a handle on the temporary folder: there is
    // no moment at which someone else could put another folder in its place. Reading rights are
    // what make the sharing mode bind others; no delete sharing: no renaming.
    const auto parent = openFolder (folderToMake.getParentDirectory());
    auto held = parent.handle != nullptr
                    ? openBelow (parent.handle, folderToMake.getFileName(), FILE_LIST_DIRECTORY, FILE_CREATE,
                                 FILE_DIRECTORY_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE, protection)
                    : Handle();

    LocalFree (protection);

    if (held.handle == nullptr)
        return nullptr;

    return std::make_unique<WindowsDownloadFolder> (std::move (held));
}

void deleteDownloadFolder (const juce::File& folder)
{
    const auto parent = openFolder (folder.getParentDirectory());
    const auto name = folder.getFileName();
    auto entry = openBelow (parent.handle, name, DELETE, FILE_OPEN, 0);
    BY_HANDLE_FILE_INFORMATION info {};

    if (entry.handle == nullptr)
        return;   // nothing there (or not ours to delete)

    if (isReachedAsNamed (entry, parent.handle, name, info))
    {
        entry = Handle();
        folder.deleteRecursively (false);
        return;
    }

    // A junction or link opened as itself goes as the link. One that Wine followed (no reparse
    // point reported) is left: deleting through it would delete what it points to.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        deleteOnClose (entry);
}

} // namespace platform
