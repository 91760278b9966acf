#include "platform/Platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{

namespace
{
    /** Owner-only permissions keep every other account out of the folder; there is no elevation
        boundary within one account here, so nothing more is needed. The locked file stays open
        so that what was checked is still what the folder holds when it is started.
    */
    class LinuxDownloadFolder final : public DownloadFolder
    {
    public:
        ~LinuxDownloadFolder() override
        {
            unlockFile();
        }

        bool lockFile (const juce::File& file) override
        {
            unlockFile();
            fileDescriptor = ::open (file.getFullPathName().toRawUTF8(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);

            struct stat info {};

            if (fileDescriptor < 0 || ::fstat (fileDescriptor, &info) != 0 || ! S_ISREG (info.st_mode))
            {
                unlockFile();
                return false;
            }

            return true;
        }

        void unlockFile() override
        {
            if (fileDescriptor >= 0)
                ::close (fileDescriptor);

            fileDescriptor = -1;
        }

        // ELF programs carry no Authenticode signature and this build ships to no one: a list of
        // allowed signers has no effect here (see the README), rather than making it start nothing.
        juce::String checkSignature (const SignerFilter&) override
        {
            return {};
        }

    private:
        int fileDescriptor = -1;
    };
}

std::unique_ptr<DownloadFolder> createDownloadFolder (const juce::File& folder)
{
    // mkdir fails on anything already there, a link included: the folder is always our own.
    if (::mkdir (folder.getFullPathName().toRawUTF8(), S_IRWXU) != 0)
        return nullptr;

    return std::make_unique<LinuxDownloadFolder>();
}

} // namespace platform
