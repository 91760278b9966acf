#include "platform/Platform.h"
#include "Descriptor.h"
#include "ProgramStart.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace platform
{

namespace
{
    /** Unbuffered writes to a file descriptor it owns. */
    class DescriptorOutputStream final : public juce::OutputStream
    {
    public:
        explicit DescriptorOutputStream (Descriptor&& file) : output (std::move (file)) {}

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
        const Descriptor output;
    };

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
    class LinuxDownloadFolder final : public DownloadFolder
    {
    public:
        LinuxDownloadFolder (Descriptor&& parentFolder, const juce::String& folderName, Descriptor&& heldFolder)
            : parent (std::move (parentFolder)), name (folderName), folder (std::move (heldFolder)) {}

        bool createFolder (const juce::String& entry) override
        {
            const std::scoped_lock lock (mutex);
            return folder.fd >= 0 && ::mkdirat (folder.fd, entry.toRawUTF8(), S_IRWXU) == 0;
        }

        std::unique_ptr<juce::OutputStream> createFile (const juce::String& entry) override
        {
            const std::scoped_lock lock (mutex);

            if (folder.fd < 0)
                return nullptr;

            // O_EXCL | O_NOFOLLOW: a new file, never a link's target.
            if (::unlinkat (folder.fd, entry.toRawUTF8(), 0) != 0 && errno == EISDIR)
                ::unlinkat (folder.fd, entry.toRawUTF8(), AT_REMOVEDIR);

            Descriptor made (::openat (folder.fd, entry.toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));

            if (made.fd < 0)
                return nullptr;

            return std::make_unique<DescriptorOutputStream> (std::move (made));
        }

        std::unique_ptr<juce::OutputStream> reopenFile (const juce::String& entry, juce::int64 keep) override
        {
            const std::scoped_lock lock (mutex);
            Descriptor opened (folder.fd >= 0 ? ::openat (folder.fd, entry.toRawUTF8(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
            struct stat info {};

            if (opened.fd < 0 || ::fstat (opened.fd, &info) != 0 || ! S_ISREG (info.st_mode) || keep < 0 || info.st_size < keep
                 || ::ftruncate (opened.fd, (off_t) keep) != 0 || ::lseek (opened.fd, (off_t) keep, SEEK_SET) != (off_t) keep)
                return nullptr;

            return std::make_unique<DescriptorOutputStream> (std::move (opened));
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
            locked = Descriptor (folder.fd >= 0 ? ::openat (folder.fd, entry.toRawUTF8(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW) : -1);

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
        juce::String checkSignature (const SignerFilter&) override
        {
            return {};
        }

        Start startLockedFile() override
        {
            const std::scoped_lock lock (mutex);

            if (locked.fd < 0 || folder.fd < 0)
                return {};

            // Its own name, as the kernel knows the open file now: only what the program sees of itself.
            char path[4096] {};
            const auto length = ::readlink (("/proc/self/fd/" + juce::String (locked.fd)).toRawUTF8(), path, sizeof (path) - 1);
            auto program = startProgramFile (locked.fd, folder.fd, length > 0 ? juce::String::fromUTF8 (path, (int) length) : juce::String());

            // Running, its file cannot be opened for writing any more (ETXTBSY).
            locked = Descriptor();
            return { std::move (program), {} };
        }

        bool remove() override
        {
            const std::scoped_lock lock (mutex);
            locked = Descriptor();

            if (folder.fd < 0)
                return true;

            if (! emptyFolder (folder.fd))
                return false;

            // The folder itself only when it is still at its name; a link put there goes as a
            // link. Moved elsewhere, it is left there, empty.
            struct stat held {}, there {};

            if (::fstat (folder.fd, &held) == 0 && ::fstatat (parent.fd, name.toRawUTF8(), &there, AT_SYMLINK_NOFOLLOW) == 0)
            {
                if (S_ISLNK (there.st_mode))
                    ::unlinkat (parent.fd, name.toRawUTF8(), 0);
                else if (isSameFile (held, there))
                    ::unlinkat (parent.fd, name.toRawUTF8(), AT_REMOVEDIR);
            }

            folder = Descriptor();
            parent = Descriptor();
            return true;
        }

    private:
        std::mutex mutex;
        Descriptor parent;
        const juce::String name;
        Descriptor folder, locked;
    };
}

std::unique_ptr<DownloadFolder> createDownloadFolder (const juce::File& folderToMake)
{
    // Made by name relative to its parent, which mkdirat fails on when anything is already there,
    // a link included: the folder is always our own, and held from here on by a descriptor that
    // everything in it is done relative to.
    Descriptor parent (::open (folderToMake.getParentDirectory().getFullPathName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto name = folderToMake.getFileName();

    if (parent.fd < 0 || ::mkdirat (parent.fd, name.toRawUTF8(), S_IRWXU) != 0)
        return nullptr;

    Descriptor held (::openat (parent.fd, name.toRawUTF8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};

    if (held.fd < 0 || ::fstat (held.fd, &info) != 0 || info.st_uid != ::geteuid())
        return nullptr;

    return std::make_unique<LinuxDownloadFolder> (std::move (parent), name, std::move (held));
}

} // namespace platform
