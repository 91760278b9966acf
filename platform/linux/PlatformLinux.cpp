#include "platform/Platform.h"
#include "constants/Timings.h"
#include "platform/BackgroundJobs.h"
#include "platform/Deadline.h"

#include "CurlDownloadTask.h"
#include "Descriptor.h"
#include "FontFallback.h"
#include "QueuedEventPump.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace platform
{

juce::String getOperatingSystemName()
{
    // Posing as Windows runs the same code paths as the product does.
    return VANTREL_LINUX_OS_NAME;
}

std::unique_ptr<DownloadTask> startDownload (const juce::URL& url, const juce::File& target,
                                             const DownloadOutputOpener& openOutput, const rules::DownloadResume& resume,
                                             AttemptEnd* end)
{
    // The system's bundle is the machine's own: no user of it can add a root the program trusts.
    return CurlDownloadTask::start (url, target, openOutput, resume, {}, end);
}

void discardDownload (std::unique_ptr<juce::URL::DownloadTask> task)
{
    // Our own task stops within one poll of the transfer, but let go as on Windows all the same:
    // the message thread never waits for a task's end.
    BackgroundJobs::letGo (std::move (task));
}

namespace
{
    /** The trim at start cuts the log under an exclusive turn on it, and every line is appended
        under a shared one, so that no copy's line lands between a trim's read and its cut. Any
        program of the user can hold the log's lock for good, so a turn is waited for a moment
        only, and the work then goes on without it (as on Windows).
    */
    class LogTurn
    {
    public:
        LogTurn (int file, bool exclusive) : fd (file)
        {
            const Deadline deadline (Timings::inMilliseconds (Timings::logTurnWait));

            while (! (taken = ::flock (fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) && ! deadline.hasPassed())
                juce::Thread::sleep (Timings::inMilliseconds (Timings::logTurnPoll));
        }

        ~LogTurn()
        {
            if (taken)
                ::flock (fd, LOCK_UN);
        }

    private:
        const int fd;
        bool taken = false;

        JUCE_DECLARE_NON_COPYABLE (LogTurn)
    };

    class LinuxLogFile final : public LogFile
    {
    public:
        explicit LinuxLogFile (Descriptor&& file) : descriptor (std::move (file)) {}

        bool append (const void* data, size_t size) override
        {
            // O_APPEND: the kernel puts each write at the end, so lines of several processes never overlap.
            const LogTurn turn (descriptor.fd, false);
            return ::write (descriptor.fd, data, size) == (ssize_t) size;
        }

    private:
        Descriptor descriptor;
    };

    /** Keeps the tail of an open file (see openLogFile), written over its start and cut there. */
    void trimLog (int fd, juce::int64 maxSize)
    {
        // Sized again under the turn: another copy may have appended since the open.
        struct stat info {};

        if (::fstat (fd, &info) != 0 || info.st_size <= maxSize)
            return;

        const auto fileSize = (juce::int64) info.st_size;
        juce::HeapBlock<char> tail ((size_t) maxSize);
        const auto cut = ::pread (fd, tail, (size_t) maxSize, (off_t) (fileSize - maxSize)) == (ssize_t) maxSize
                             ? findLogCut (tail, (int) maxSize) : -1;

        if (cut < 0)
            return;

        // With O_APPEND set, Linux would put the rewrite at the end.
        const auto flags = ::fcntl (fd, F_GETFL);
        const auto kept = (size_t) (maxSize - cut);

        if (flags >= 0 && ::fcntl (fd, F_SETFL, flags & ~O_APPEND) == 0)
        {
            if (::pwrite (fd, tail + cut, kept, 0) == (ssize_t) kept)
                (void) ::ftruncate (fd, (off_t) kept);

            ::fcntl (fd, F_SETFL, flags);
        }
    }
}

std::unique_ptr<LogFile> openLogFile (const juce::File& folder, const juce::String& relativePath, juce::int64 maxInitialSize)
{
    auto names = juce::StringArray::fromTokens (relativePath, "/", {});
    const auto fileName = names.strings.getLast();
    names.remove (names.size() - 1);

    // The application-data folder's place is the user's to choose, and the folder may itself be
    // a link: it is opened by its name in its parent, as the folders below it are, and never made.
    const Descriptor above (::open (folder.getParentDirectory().getFullPathName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Descriptor current (above.fd >= 0 ? ::openat (above.fd, folder.getFileName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);

    // And it must be the user's own (its owner the real user), or the settings could point the
    // program at a folder only the administrator may write to.
    struct stat owner {};

    if (current.fd >= 0 && (::fstat (current.fd, &owner) != 0 || owner.st_uid != ::getuid()))
        return nullptr;

    // Each folder opened relative to the one above and never through a link: O_NOFOLLOW refuses
    // a link, O_DIRECTORY anything but a folder. One made by another instance meanwhile is fine.
    for (const auto& name : names)
    {
        if (current.fd < 0)
            return nullptr;

        ::mkdirat (current.fd, name.toRawUTF8(), 0755);
        current = Descriptor (::openat (current.fd, name.toRawUTF8(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }

    if (current.fd < 0)
        return nullptr;

    Descriptor file (::openat (current.fd, fileName.toRawUTF8(),
                               O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat info {};

    // A second link would let the log's writes land in a file elsewhere.
    if (file.fd < 0 || ::fstat (file.fd, &info) != 0 || ! S_ISREG (info.st_mode) || info.st_nlink != 1)
        return nullptr;

    if (maxInitialSize > 0 && info.st_size > maxInitialSize)
    {
        const LogTurn turn (file.fd, true);
        trimLog (file.fd, maxInitialSize);
    }

    return std::make_unique<LinuxLogFile> (std::move (file));
}

bool hasDisplay()
{
    return juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
}

std::unique_ptr<juce::LookAndFeel> createDefaultLookAndFeel()
{
    return std::make_unique<FontFallbackLookAndFeel>();
}

bool recreatedWindowsStayHidden()
{
    // The X11 peer brings a re-created window to the front, which maps it: a stray 128 x 128
    // window during the first connection, and a race with the window manager over the real one.
    return false;
}

std::unique_ptr<juce::Timer> createWindowPump (juce::Component& window)
{
    return createQueuedEventPump (window);
}

void hideWindowQuietly (juce::Component& window)
{
    // Without its native window the framework's vertical-blank timer, which runs at the display's
    // rate for every window, shown or not, stops too. SIGTERM needs no window to reach us.
    window.setVisible (false);
    window.removeFromDesktop();
}

} // namespace platform
