#include "platform/Platform.h"
#include "Descriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

    /** Owner-only permissions keep every other account out of the folder; there is no elevation
        boundary within one account here, so nothing more is needed. The locked file stays open
        so that what was checked is still what the folder holds when it is started.
    */
    class LinuxDownloadFolder final : public DownloadFolder
    {
    public:
        explicit LinuxDownloadFolder (Descriptor&& heldFolder) : folder (std::move (heldFolder)) {}

        std::unique_ptr<juce::OutputStream> createFile (const juce::String& name) override
        {
            // Relative to the folder's own descriptor; O_EXCL | O_NOFOLLOW: a new file, never a link's target.
            if (::unlinkat (folder.fd, name.toRawUTF8(), 0) != 0 && errno == EISDIR)
                ::unlinkat (folder.fd, name.toRawUTF8(), AT_REMOVEDIR);

            Descriptor made (::openat (folder.fd, name.toRawUTF8(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));

            if (made.fd < 0)
                return nullptr;

            return std::make_unique<DescriptorOutputStream> (std::move (made));
        }

        bool lockFile (const juce::File& file) override
        {
            // By name relative to the held folder, as the file was made: what its path leads to now may differ.
            locked = Descriptor (::openat (folder.fd, file.getFileName().toRawUTF8(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));

            struct stat info {};

            if (locked.fd < 0 || ::fstat (locked.fd, &info) != 0 || ! S_ISREG (info.st_mode))
            {
                unlockFile();
                return false;
            }

            return true;
        }

        void unlockFile() override
        {
            locked = Descriptor();
        }

        // ELF programs carry no Authenticode signature and this build ships to no one: a list of
        // allowed signers has no effect here (see the README), rather than making it start nothing.
        juce::String checkSignature (const SignerFilter&) override
        {
            return {};
        }

    private:
        const Descriptor folder;
        Descriptor locked;
    };
}

std::unique_ptr<DownloadFolder> createDownloadFolder (const juce::File& folder)
{
    // mkdir fails on anything already there, a link included: the folder is always our own,
    // and held from here on by a descriptor that every file in it is made relative to.
    if (::mkdir (folder.getFullPathName().toRawUTF8(), S_IRWXU) != 0)
        return nullptr;

    Descriptor held (::open (folder.getFullPathName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};

    if (held.fd < 0 || ::fstat (held.fd, &info) != 0 || info.st_uid != ::geteuid())
        return nullptr;

    return std::make_unique<LinuxDownloadFolder> (std::move (held));
}

void deleteDownloadFolder (const juce::File& folder)
{
    // The framework never follows a link here: a link in the folder's place is unlinked itself.
    folder.deleteRecursively (false);
}

} // namespace platform
