#include "constants/Texts.h"
#include "platform/Platform.h"
#include "WrittenFileKeeper.h"
#include "Descriptor.h"
#include "ProgramStart.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <mutex>
#include <utility>

namespace platform
{

namespace
{
    using Keeper = WrittenFileKeeper<Descriptor>;

    /** Unbuffered writes to a file descriptor it owns, handed to the folder when it goes. */
    class DescriptorOutputStream final : public juce::OutputStream
    {
    public:
        DescriptorOutputStream (Descriptor&& file, WrittenFileHandOver<Descriptor>&& toKeeper)
            : output (std::move (file)), handOver (std::move (toKeeper)) {}

        ~DescriptorOutputStream() override   { handOver.giveOver (output); }

        void flush() override {}
        juce::int64 getPosition() override          { return (juce::int64) ::lseek (output.fd, 0, SEEK_CUR); }
        bool setPosition (juce::int64 position) override   { return ::lseek (output.fd, (off_t) position, SEEK_SET) == (off_t) position; }

        bool write (const void* data, size_t size) override
        {
            for (auto* bytes = static_cast<const char*> (data); size > 0;)
            {
                const auto written = ::write (output.fd, bytes, size);

                if (written < 0 && errno == EINTR)
                    continue;

                if (written <= 0)
                    return false;

                bytes += written;
                size -= (size_t) written;
            }

            return true;
        }

    private:
        Descriptor output;
        const WrittenFileHandOver<Descriptor> handOver;
    };

    /** Where the file open at `fd` is now, as the kernel knows it; empty when it cannot say. */
    juce::String currentPathOf (int fd)
    {
        char path[4096] {};
        const auto length = ::readlink (kernelLinkTo (fd).toRawUTF8(), path, sizeof (path) - 1);
        return length > 0 ? juce::String::fromUTF8 (path, (int) length) : juce::String();
    }

    bool isSameFile (const struct stat& a, const struct stat& b)
    {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    }

    /** Deletes what is in the folder open at `fd`, each entry by its name relative to it: a link
        goes as a link, a folder is opened without following one and emptied first. True when
        the folder is empty.
    */
    bool emptyFolder (int fd, int depth = 0)
    {
        Descriptor listing (::openat (fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        auto* const entries = listing.fd >= 0 ? ::fdopendir (listing.fd) : nullptr;

        if (entries == nullptr)
            return false;

        listing.fd = -1;   // the listing owns it now
        auto empty = true;

        while (auto* entry = ::readdir (entries))
        {
            if (std::strcmp (entry->d_name, ".") == 0 || std::strcmp (entry->d_name, "..") == 0
                 || ::unlinkat (fd, entry->d_name, 0) == 0)
                continue;

            const Descriptor inner (errno == EISDIR && depth < 16
                                        ? ::openat (fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);

            if (inner.fd < 0 || ! emptyFolder (inner.fd, depth + 1) || ::unlinkat (fd, entry->d_name, AT_REMOVEDIR) != 0)
                empty = false;
        }

        ::closedir (entries);
        return empty;
    }

    /** Owner-only permissions keep every other account out of the folder. Everything is done
        relative to the held descriptors: the temporary folder it was made in, and its own.
    */
    /** The tool's TEMP, TMP and TMPDIR in the folder held at `held`, for the owner alone: made
        through the hold, or found there again (after a removal that failed), and held.
    */
    Descriptor openToolTemporaryFolder (int held)
    {
        if (::mkdirat (held, toolTemporaryFolderName, S_IRWXU) != 0 && errno != EEXIST)
            return Descriptor();

        return Descriptor (::openat (held, toolTemporaryFolderName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }

    class LinuxDownloadFolder final : public DownloadFolder
    {
    public:
        LinuxDownloadFolder (Descriptor&& parentFolder, const juce::String& folderName, Descriptor&& heldFolder, Descriptor&& toolTemporary)
            : parent (std::move (parentFolder)), name (folderName), folder (std::move (heldFolder)), temporary (std::move (toolTemporary)) {}

        bool createPlaceholderFolder (const juce::String& entry) override
        {
            const std::scoped_lock lock (mutex);
            return folder.fd >= 0 && ::mkdirat (folder.fd, entry.toRawUTF8(), S_IRWXU) == 0;
        }

        std::unique_ptr<juce::OutputStream> createFile (const juce::String& entry) override
        {
            const std::scoped_lock lock (mutex);

            if (folder.fd < 0)
                return nullptr;

            const auto writer = written->newWriter();

            // O_EXCL | O_NOFOLLOW: a new file, never a link's target.
            if (::unlinkat (folder.fd, entry.toRawUTF8(), 0) != 0 && errno == EISDIR)
                ::unlinkat (folder.fd, entry.toRawUTF8(), AT_REMOVEDIR);

            Descriptor made (::openat (folder.fd, entry.toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));

            if (made.fd < 0)
                return nullptr;

            return std::make_unique<DescriptorOutputStream> (std::move (made), WrittenFileHandOver<Descriptor> (written, entry, writer));
        }

        std::unique_ptr<juce::OutputStream> reopenFile (const juce::String& entry, juce::int64 keep) override
        {
            const std::scoped_lock lock (mutex);
            const auto writer = written->newWriter();
            Descriptor opened (folder.fd >= 0 ? ::openat (folder.fd, entry.toRawUTF8(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
            struct stat info {};

            if (opened.fd < 0 || ::fstat (opened.fd, &info) != 0 || ! S_ISREG (info.st_mode) || keep < 0 || info.st_size < keep
                 || ::ftruncate (opened.fd, (off_t) keep) != 0 || ::lseek (opened.fd, (off_t) keep, SEEK_SET) != (off_t) keep)
                return nullptr;

            return std::make_unique<DescriptorOutputStream> (std::move (opened), WrittenFileHandOver<Descriptor> (written, entry, writer));
        }

        bool holdsFile (const juce::String& entry) override
        {
            const std::scoped_lock lock (mutex);
            struct stat info {};
            return folder.fd >= 0 && ::fstatat (folder.fd, entry.toRawUTF8(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG (info.st_mode);
        }

        bool lockFile (const juce::String& entry) override
        {
            const std::scoped_lock lock (mutex);

            // The file its writer left is taken again read-only through the kernel's own link
            // to the open file (execution refuses a file open for writing), before the writer's
            // descriptor goes; only a file written some other way is opened by its name.
            const auto writer = written->take (entry);
            locked = Descriptor (writer.fd >= 0 ? ::open (kernelLinkTo (writer.fd).toRawUTF8(), O_RDONLY | O_CLOEXEC)
                                 : folder.fd >= 0 ? ::openat (folder.fd, entry.toRawUTF8(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1);

            struct stat info {};

            if (locked.fd < 0 || ::fstat (locked.fd, &info) != 0 || ! S_ISREG (info.st_mode))
            {
                locked = Descriptor();
                return false;
            }

            return true;
        }

        juce::int64 getLockedFileSize() override
        {
            const std::scoped_lock lock (mutex);
            struct stat info {};
            return locked.fd >= 0 && ::fstat (locked.fd, &info) == 0 ? (juce::int64) info.st_size : -1;
        }

        // ELF programs carry no Authenticode signature and this build ships to no one: a list of
        // allowed signers has no effect here (see docs/security-and-reliability.md), rather than
        // making it start nothing.
        juce::Result checkSignature (const SignerFilter&) override
        {
            return juce::Result::ok();
        }

        rules::SignedBytes checkSignedBytes() override
        {
            return rules::SignedBytes::unsigned_;
        }

        Start startLockedFile() override
        {
            const std::scoped_lock lock (mutex);

            if (locked.fd < 0 || folder.fd < 0)
                return {};

            if (temporary.fd < 0)
                temporary = openToolTemporaryFolder (folder.fd);   // a removal that failed let it go

            if (temporary.fd < 0)
                return { nullptr, juce::Result::fail (Texts::Start::noTemporaryFolder) };

            // Its own name, as the kernel knows the open file now: only what the program sees of itself.
            auto program = startProgramFile (locked.fd, folder.fd, currentPathOf (locked.fd), currentPathOf (temporary.fd));

            // Running, its file cannot be opened for writing any more (ETXTBSY).
            locked = Descriptor();
            return { std::move (program) };
        }

        bool remove() override
        {
            const std::scoped_lock lock (mutex);
            locked = Descriptor();
            temporary = Descriptor();
            written->stopKeeping();

            if (folder.fd < 0)
                return true;

            if (! emptyFolder (folder.fd))
                return false;

            // The folder itself by its name in the temporary folder when it is still there (a
            // link put there goes as a link), else where it has been moved to.
            struct stat held {}, there {};

            if (::fstat (folder.fd, &held) == 0)
            {
                if (held.st_nlink == 0)
                    deleted = true;   // someone else removed it, empty
                else if (::fstatat (parent.fd, name.toRawUTF8(), &there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK (there.st_mode))
                    ::unlinkat (parent.fd, name.toRawUTF8(), 0);
                else if (isSameFile (held, there))
                    deleted = ::unlinkat (parent.fd, name.toRawUTF8(), AT_REMOVEDIR) == 0;

                if (! deleted)
                    deleted = removeMovedFolder (held);
            }

            folder = Descriptor();
            parent = Descriptor();
            return true;
        }

        bool wasDeleted() override
        {
            const std::scoped_lock lock (mutex);
            return deleted;
        }

    private:
        /** The emptied folder, moved away from its name (by a process of the same account), removed
            where the kernel says it is now: by its name in the folder found there, and only when
            that entry is the held folder. An empty folder swapped in between the look and the
            removal could go instead; one with anything in it cannot.
        */
        bool removeMovedFolder (const struct stat& held) const
        {
            const auto where = currentPathOf (folder.fd);
            const juce::File now (where);
            const Descriptor above (where.isNotEmpty() && ! now.isRoot()
                                        ? ::open (now.getParentDirectory().getFullPathName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
            struct stat there {};

            return above.fd >= 0 && ::fstatat (above.fd, now.getFileName().toRawUTF8(), &there, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISDIR (there.st_mode) && isSameFile (held, there)
                && ::unlinkat (above.fd, now.getFileName().toRawUTF8(), AT_REMOVEDIR) == 0;
        }

        std::mutex mutex;
        Descriptor parent;
        const juce::String name;
        Descriptor folder, temporary, locked;
        const std::shared_ptr<Keeper> written = std::make_shared<Keeper>();
        bool deleted = false;
    };
}

namespace
{
    /** Whether the folder just made, open at `fd`, keeps every other account out, as read back
        from the file system: ours, with no rights for group or others (a file system without
        owners and modes, FAT or exFAT, reports those its mount gives), and not a network file
        system, whose server answers as it likes.
    */
    bool holdsProtection (int fd)
    {
        struct stat info {};
        struct statfs volume {};

        if (::fstat (fd, &info) != 0 || ! S_ISDIR (info.st_mode) || info.st_uid != ::geteuid()
             || (info.st_mode & 0077) != 0 || (info.st_mode & S_IRWXU) != S_IRWXU || ::fstatfs (fd, &volume) != 0)
            return false;

        // NFS, SMB, CIFS, SMB2, 9P, Ceph, AFS.
        constexpr unsigned long remote[] = { 0x6969, 0x517b, 0xff534d42, 0xfe534d42, 0x01021997, 0x00c36400, 0x5346414f };
        return std::find (std::begin (remote), std::end (remote), (unsigned long) volume.f_type) == std::end (remote);
    }
}

MadeDownloadFolder makeDownloadFolder (const juce::File& folderToMake, const ProtectionCheck& allowed)
{
    // Made by name relative to its parent, which mkdirat fails on when anything is already there,
    // a link included: the folder is always our own, and held from here on by a descriptor that
    // everything in it is done relative to.
    Descriptor parent (::open (folderToMake.getParentDirectory().getFullPathName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto name = folderToMake.getFileName();

    if (parent.fd < 0 || ::mkdirat (parent.fd, name.toRawUTF8(), S_IRWXU) != 0)
        return {};

    Descriptor held (::openat (parent.fd, name.toRawUTF8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));

    if (held.fd < 0)
        return {};

    const auto protects = holdsProtection (held.fd) && (! allowed || allowed (folderToMake));

    auto temporary = openToolTemporaryFolder (held.fd);
    const auto hasTemporary = temporary.fd >= 0;
    auto made = std::make_unique<LinuxDownloadFolder> (std::move (parent), name, std::move (held), std::move (temporary));

    if (protects && hasTemporary)
        return { std::move (made), false };

    made->remove();
    return { nullptr, ! protects };
}

juce::File getSystemTemporaryFolder()
{
    return juce::File ("/tmp");
}

} // namespace platform
