#include "constants/Texts.h"
#include "constants/Timings.h"
#include "platform/Platform.h"
#include "WrittenFileKeeper.h"
#include "windows/AuthenticodeCheck.h"
#include "FolderProtection.h"
#include "NoFollowOpen.h"
#include "ProgramStart.h"
#include "ThisProcess.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <mutex>
#include <utility>

namespace platform
{

namespace
{
    /** Elevated where that is a boundary: Wine counts every process an administrator, and keeps no
        access list it could be given (it would read back as the Unix mode's), so there, as for a
        program that is not elevated, no list is set and none is read back. Any elevated token
        counts, not only an administrator's: each runs the tool with rights the user's other
        processes do not have.
    */
    bool isElevated()
    {
        return ! isRunningUnderWine() && hasElevatedToken();
    }

    using Keeper = WrittenFileKeeper<Handle>;

    /** The writer's handle (no write or delete sharing) made into the lock: a process cannot run
        from a file that a handle with write access holds, so a read-only handle is opened on the
        same file (never by name) while the writer still holds it, which must share writing for
        that moment, and then one that does not, once the writer has gone. Between the two only a
        process that may write the file at all (its access list lets no unprivileged process when
        elevated) could open it for writing; still open then, it makes the lock fail.
    */
    Handle lockWrittenFile (Handle&& writer)
    {
        const Handle bridge (ReOpenFile (writer.handle, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
        writer = Handle();
        return bridge.handle != nullptr ? Handle (ReOpenFile (bridge.handle, GENERIC_READ, FILE_SHARE_READ, 0)) : Handle();
    }

    /** Unbuffered writes to a file handle it owns, handed to the folder when it goes. */
    class HandleOutputStream final : public juce::OutputStream
    {
    public:
        HandleOutputStream (Handle&& file, WrittenFileHandOver<Handle>&& toKeeper)
            : output (std::move (file)), handOver (std::move (toKeeper)) {}

        ~HandleOutputStream() override   { handOver.giveOver (output); }

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
        const WrittenFileHandOver<Handle> handOver;
    };

    /** Deletes the entry `name` in the open folder `parent`, opened relative to it without
        following a reparse point: a junction or link goes as itself, a folder is emptied first.
        One that Wine followed (no reparse point reported, but it resolves elsewhere) is left:
        deleting through it would delete what it points to.
    */
    bool deleteEntry (const Handle& parent, const juce::String& name, int depth);

    /** The names in the open folder, listed through its handle ("." and ".." left out). */
    juce::StringArray listFolder (const Handle& folder);

    /** Deletes what is in the open folder, each entry through a handle opened relative to it.
        True when all of it went.
    */
    bool emptyFolder (const Handle& folder, int depth = 0)
    {
        auto empty = true;

        // Listed first, deleted after: the listing is not disturbed by what goes.
        for (const auto& name : listFolder (folder))
            empty = deleteEntry (folder, name, depth) && empty;

        return empty;
    }

    juce::StringArray listFolder (const Handle& folder)
    {
        juce::StringArray names;
        alignas (8) char listing[16384];

        for (auto listingClass = FileIdBothDirectoryRestartInfo;
             GetFileInformationByHandleEx (folder.handle, listingClass, listing, sizeof (listing));
             listingClass = FileIdBothDirectoryInfo)
        {
            for (auto offset = (size_t) 0;;)
            {
                const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*> (listing + offset);
                const juce::String name (entry->FileName, entry->FileNameLength / sizeof (WCHAR));

                if (name != "." && name != "..")
                    names.add (name);

                if (entry->NextEntryOffset == 0)
                    break;

                offset += entry->NextEntryOffset;
            }
        }

        return names;
    }

    bool deleteEntry (const Handle& parent, const juce::String& name, int depth)
    {
        const auto entry = openBelow (parent.handle, name, DELETE | FILE_LIST_DIRECTORY, FILE_OPEN, 0);
        BY_HANDLE_FILE_INFORMATION info {};

        if (entry.handle == nullptr || ! GetFileInformationByHandle (entry.handle, &info))
            return false;   // gone meanwhile, or in use

        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return deleteOnClose (entry);

        if (! isReachedAsNamed (entry, parent.handle, name))
            return false;

        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (depth >= 16 || ! emptyFolder (entry, depth + 1)))
            return false;

        return deleteOnClose (entry);
    }

    /** The tool's TEMP and TMP in the folder held at `held`: made through the hold (so it
        inherits the folder's protection), or found there again (after a removal that failed),
        and held, so that at the start its place is read off this handle, never looked up again.
    */
    Handle openToolTemporaryFolder (HANDLE held)
    {
        return openBelow (held, toolTemporaryFolderName, FILE_LIST_DIRECTORY, FILE_OPEN_IF, FILE_DIRECTORY_FILE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    }

    class WindowsDownloadFolder final : public DownloadFolder
    {
    public:
        WindowsDownloadFolder (Handle&& parentFolder, const juce::String& folderName, Handle&& heldFolder, Handle&& toolTemporary)
            : parent (std::move (parentFolder)), name (folderName), folder (std::move (heldFolder)), temporary (std::move (toolTemporary)) {}

        bool createPlaceholderFolder (const juce::String& entry) override
        {
            const std::scoped_lock lock (mutex);
            return folder.handle != nullptr
                && openBelow (folder.handle, entry, FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE).handle != nullptr;
        }

        std::unique_ptr<juce::OutputStream> createFile (const juce::String& entry) override
        {
            const std::scoped_lock lock (mutex);

            if (folder.handle == nullptr)
                return nullptr;

            const auto writer = written->newWriter();

            // What is there goes first, only when it really is in the folder (a link's target never).
            if (auto existing = openBelow (folder.handle, entry, DELETE, FILE_OPEN, 0); existing.handle != nullptr)
            {
                if (! isReachedAsNamed (existing, folder.handle, entry) || ! deleteOnClose (existing))
                    return nullptr;
            }

            // Made new by name relative to the held folder; as before, others may only read it.
            auto made = openBelow (folder.handle, entry, FILE_GENERIC_WRITE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, FILE_SHARE_READ);

            if (made.handle == nullptr)
                return nullptr;

            return std::make_unique<HandleOutputStream> (std::move (made), WrittenFileHandOver<Handle> (written, entry, writer));
        }

        std::unique_ptr<juce::OutputStream> reopenFile (const juce::String& entry, juce::int64 keep) override
        {
            const std::scoped_lock lock (mutex);
            const auto writer = written->newWriter();
            auto opened = folder.handle != nullptr
                              ? openBelow (folder.handle, entry, FILE_GENERIC_WRITE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, FILE_SHARE_READ)
                              : Handle();
            LARGE_INTEGER size {}, kept {};
            kept.QuadPart = keep;

            if (! isReachedAsNamed (opened, folder.handle, entry) || ! GetFileSizeEx (opened.handle, &size) || keep < 0
                 || size.QuadPart < keep || ! SetFilePointerEx (opened.handle, kept, nullptr, FILE_BEGIN) || ! SetEndOfFile (opened.handle))
                return nullptr;

            return std::make_unique<HandleOutputStream> (std::move (opened), WrittenFileHandOver<Handle> (written, entry, writer));
        }

        bool holdsFile (const juce::String& entry) override
        {
            const std::scoped_lock lock (mutex);
            return folder.handle != nullptr
                && isReachedAsNamed (openBelow (folder.handle, entry, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE), folder.handle, entry);
        }

        bool lockFile (const juce::String& entry) override
        {
            const std::scoped_lock lock (mutex);

            // The file its writer left, never let go of in between.
            if (auto writer = written->take (entry); writer.handle != nullptr)
            {
                locked = lockWrittenFile (std::move (writer));
                return locked.handle != nullptr;
            }

            // Else by name relative to the held folder, as the file was made: what its path leads to now may differ.
            locked = folder.handle != nullptr
                         ? openBelow (folder.handle, entry, FILE_GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE, FILE_SHARE_READ)
                         : Handle();

            if (! isReachedAsNamed (locked, folder.handle, entry))
            {
                locked = Handle();
                return false;
            }

            return true;
        }

        juce::int64 getLockedFileSize() override
        {
            const std::scoped_lock lock (mutex);
            LARGE_INTEGER size {};
            return locked.handle != nullptr && GetFileSizeEx (locked.handle, &size) ? size.QuadPart : -1;
        }

        juce::Result checkSignature (const SignerFilter& isAllowed) override
        {
            const std::scoped_lock lock (mutex);
            jassert (locked.handle != nullptr);   // lockFile first: what is checked must stay as it is

            if (locked.handle == nullptr)
                return juce::Result::fail (Texts::Signature::notLocked);

            // The name is only what WinVerifyTrust reports the file by.
            const auto refusal = checkAuthenticode (locked.handle, juce::File (toWin32Path (getFinalPath (locked.handle))), isAllowed);
            return refusal.isEmpty() ? juce::Result::ok() : juce::Result::fail (refusal);
        }

        rules::SignedBytes checkSignedBytes() override
        {
            const std::scoped_lock lock (mutex);

            if (locked.handle == nullptr)
                return rules::SignedBytes::unsigned_;

            return platform::checkSignedBytes (locked.handle, juce::File (toWin32Path (getFinalPath (locked.handle))));
        }

        Start startLockedFile() override
        {
            const std::scoped_lock lock (mutex);

            if (locked.handle == nullptr || folder.handle == nullptr)
                return {};

            if (temporary.handle == nullptr)
                temporary = openToolTemporaryFolder (folder.handle);   // a removal that failed let it go

            if (temporary.handle == nullptr)
                return { nullptr, juce::Result::fail (Texts::Start::noTemporaryFolder) };

            auto start = startProgramFile (locked, folder, temporary);
            locked = Handle();   // once running, the system itself keeps the program's file from being changed
            return start;
        }

        bool remove() override
        {
            const std::scoped_lock lock (mutex);
            locked = Handle();
            temporary = Handle();
            written->stopKeeping();

            if (folder.handle == nullptr)
                return true;

            // What was marked for deletion goes when the last handle on it closes (a tool that has
            // just exited may hold its own file a moment longer); until then the folder cannot go,
            // and the caller tries again.
            if (! emptyFolder (folder) || ! listFolder (folder).isEmpty())
                return false;

            const auto held = identify (folder.handle);

            // Our own hold (no delete sharing) would refuse the delete right: the folder is opened
            // again by its name in the temporary folder it was made in, and deleted only if that
            // is the folder we held; a junction put there meanwhile goes as itself.
            folder = Handle();
            const auto again = openBelow (parent.handle, name, DELETE, FILE_OPEN, 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
            BY_HANDLE_FILE_INFORMATION there {};

            if (again.handle != nullptr && GetFileInformationByHandle (again.handle, &there))
            {
                if ((there.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
                    deleteOnClose (again);
                else if (held.isSameFileAs (identify (again.handle)))
                    deleted = deleteOnClose (again);
            }

            if (! deleted && holdAgain (held))
                return false;

            parent = Handle();
            return true;
        }

        bool wasDeleted() override
        {
            const std::scoped_lock lock (mutex);
            return deleted;
        }

    private:
        /** After the folder itself would not go: takes the hold again, for another try, when the
            folder is still at its name. Someone may keep it open without delete sharing a moment
            longer, as the tool that has just exited may its working folder (a folder was left
            after the tool under Wine on a busy machine).
        */
        bool holdAgain (const FileIdentity& held)
        {
            auto again = openBelow (parent.handle, name, FILE_LIST_DIRECTORY | READ_CONTROL, FILE_OPEN,
                                    FILE_DIRECTORY_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE);

            if (again.handle == nullptr || ! held.isSameFileAs (identify (again.handle)))
                return false;

            folder = std::move (again);
            return true;
        }

        std::mutex mutex;
        Handle parent;
        const juce::String name;
        Handle folder, temporary, locked;
        const std::shared_ptr<Keeper> written = std::make_shared<Keeper>();
        bool deleted = false;
    };
}

namespace
{
    /** Whether the folder just made, open at `held` (with READ_CONTROL), keeps unprivileged
        processes out, as read back through the handle: on a local volume that keeps access lists
        (not FAT or exFAT; not a share, whose server answers sharing modes and file identities as
        it likes) and, where the program set a descriptor (`protectedBySet`, elevated), one whose
        owner, list and label keep every process that is not elevated from changing it
        (findProtectionFault: by meaning, as NTFS may store the list in other forms).
    */
    bool holdsProtection (HANDLE held, bool protectedBySet)
    {
        DWORD volumeFlags = 0;
        FILE_REMOTE_PROTOCOL_INFO remote {};

        if (! GetVolumeInformationByHandleW (held, nullptr, 0, nullptr, nullptr, &volumeFlags, nullptr, 0)
             || (volumeFlags & FILE_PERSISTENT_ACLS) == 0
             || GetFileInformationByHandleEx (held, FileRemoteProtocolInfo, &remote, sizeof (remote)))
            return false;

        if (! protectedBySet)
            return true;

        PSECURITY_DESCRIPTOR read = nullptr;

        if (GetSecurityInfo (held, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                             nullptr, nullptr, nullptr, nullptr, &read) != ERROR_SUCCESS)
            return false;

        auto owner = getTokensSid (TokenOwner), user = getTokensSid (TokenUser);
        const auto holds = ! owner.empty() && ! user.empty() && findProtectionFault (read, owner.data(), user.data()).isEmpty();
        LocalFree (read);
        return holds;
    }
}

MadeDownloadFolder makeDownloadFolder (const juce::File& folderToMake, const ProtectionCheck& allowed)
{
    PSECURITY_DESCRIPTOR protection = nullptr;

    // Not elevated, nothing runs with more rights than the processes around it: no boundary to keep.
    if (isElevated())
    {
        auto owner = getTokensSid (TokenOwner);
        const auto ownedByUser = owner.empty() || ! isPrivilegedIdentity (owner.data());

        if (! ConvertStringSecurityDescriptorToSecurityDescriptorW (getProtectedFolderDescriptor (ownedByUser), SDDL_REVISION_1,
                                                                     &protection, nullptr))
            return {};
    }

    // Made and opened in one step, by name relative to a handle on the temporary folder: there is
    // no moment at which someone else could put another folder in its place. Reading rights are
    // what make the sharing mode bind others; no delete sharing: no renaming. No delete right of
    // our own either: the tool opens its working folder without delete sharing.
    auto parent = openFolderFollowingLinks (folderToMake.getParentDirectory());
    auto held = parent.handle != nullptr
                    ? openBelow (parent.handle, folderToMake.getFileName(), FILE_LIST_DIRECTORY | READ_CONTROL, FILE_CREATE,
                                 FILE_DIRECTORY_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE, protection)
                    : Handle();

    const auto protects = held.handle != nullptr && holdsProtection (held.handle, protection != nullptr)
                       && (! allowed || allowed (folderToMake));
    LocalFree (protection);

    if (held.handle == nullptr)
        return {};

    auto temporary = openToolTemporaryFolder (held.handle);
    const auto hasTemporary = temporary.handle != nullptr;
    auto made = std::make_unique<WindowsDownloadFolder> (std::move (parent), folderToMake.getFileName(), std::move (held),
                                                         std::move (temporary));

    if (protects && hasTemporary)
        return { std::move (made), false };

    made->remove();
    return { nullptr, ! protects };
}

juce::File getSystemTemporaryFolder()
{
    wchar_t windows[MAX_PATH] {};
    const auto length = GetSystemWindowsDirectoryW (windows, MAX_PATH);
    return length > 0 && length < MAX_PATH ? juce::File (juce::String (windows)).getChildFile ("Temp") : juce::File();
}

} // namespace platform
