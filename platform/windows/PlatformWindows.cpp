#include "platform/Platform.h"
#include "constants/Timings.h"
#include "platform/BackgroundJobs.h"
#include "platform/Deadline.h"
#include "WindowPump.h"
#include "NoFollowOpen.h"
#include "ThisProcess.h"
#include "WinInetDownloadTask.h"

#include <aclapi.h>

namespace platform
{

juce::String getOperatingSystemName()
{
    return juce::SystemStats::getOperatingSystemName();
}

std::unique_ptr<DownloadTask> startDownload (const juce::URL& url, const juce::File& target,
                                             const DownloadOutputOpener& openOutput, const rules::DownloadResume& resume,
                                             AttemptEnd* end)
{
    return startWinInetDownload (url, target, openOutput, resume, end);
}

void discardDownload (std::unique_ptr<juce::URL::DownloadTask> task)
{
    // The task cancels its request and then waits for its thread, which may sit in a read that
    // the HTTP stack does not interrupt (Wine's does not always): closing the window must not
    // wait for the network, so the waiting happens on a job that the exit may cut short.
    BackgroundJobs::letGo (std::move (task));
}

namespace
{
    /** A log file must be a regular file with a single link: a hard link would let the writes
        land elsewhere. Every folder above it, a real folder.
    */
    bool isRealEntry (const Handle& opened, const Handle& parent, const juce::String& name, bool folder)
    {
        BY_HANDLE_FILE_INFORMATION info {};

        return isReachedAsNamed (opened, parent.handle, name, info)
            && ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder
            && (folder || info.nNumberOfLinks == 1);
    }

    /** Whether the folder open at `opened` (with READ_CONTROL) belongs to the user the program
        runs as: its owner the token's user, whom an elevated token keeps, not Administrators,
        SYSTEM or TrustedInstaller.
    */
    bool isOwnedByUser (const Handle& opened)
    {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;

        if (GetSecurityInfo (opened.handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                             &descriptor) != ERROR_SUCCESS)
            return false;

        const auto owned = isTokens (owner, TokenUser);
        LocalFree (descriptor);
        return owned;
    }

    /** The log's writers (every running copy, and the trim at start) take turns on a byte far
        past any log's end, which leaves the written bytes free for readers. The log is the user's
        file, so any program of the user can hold that byte for ever: a turn is waited for only a
        moment, and the writing goes on without it (see WindowsLogFile::append).
    */
    class LogTurn
    {
    public:
        explicit LogTurn (HANDLE file) : handle (file)
        {
            turn.OffsetHigh = 0x40000000;
            const Deadline deadline (Timings::inMilliseconds (Timings::logTurnWait));

            while (! (taken = LockFileEx (handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &turn) != FALSE)
                    && ! deadline.hasPassed())
                Sleep ((DWORD) Timings::inMilliseconds (Timings::logTurnPoll));
        }

        ~LogTurn()
        {
            if (taken)
                UnlockFileEx (handle, 0, 1, 0, &turn);
        }

    private:
        const HANDLE handle;
        OVERLAPPED turn {};
        bool taken = false;

        JUCE_DECLARE_NON_COPYABLE (LogTurn)
    };

    class WindowsLogFile final : public LogFile
    {
    public:
        explicit WindowsLogFile (Handle&& file) : appendOnly (std::move (file)) {}

        bool append (const void* data, size_t size) override
        {
            // Append-only access puts each write whole at the end on Windows, turn or not. Wine
            // writes at the end it has just looked up, so there instances appending together
            // without their turns could overwrite each other's lines: only while another program
            // keeps the turn from them.
            const LogTurn turn (appendOnly.handle);
            DWORD written = 0;
            return WriteFile (appendOnly.handle, data, (DWORD) size, &written, nullptr) && written == (DWORD) size;
        }

    private:
        Handle appendOnly;
    };

    /** Keeps the tail of the open, checked file (see openLogFile), written over its start and cut there. */
    void trimLog (const Handle& file, juce::int64 maxSize)
    {
        LARGE_INTEGER size {};

        if (! GetFileSizeEx (file.handle, &size) || size.QuadPart <= maxSize)
            return;

        juce::HeapBlock<char> tail ((size_t) maxSize);
        LARGE_INTEGER position {};
        position.QuadPart = size.QuadPart - maxSize;
        DWORD read = 0;

        if (! SetFilePointerEx (file.handle, position, nullptr, FILE_BEGIN)
             || ! ReadFile (file.handle, tail, (DWORD) maxSize, &read, nullptr) || read != (DWORD) maxSize)
            return;

        const auto cut = findLogCut (tail, (int) maxSize);
        const auto kept = (DWORD) (maxSize - cut);
        DWORD written = 0;

        if (cut >= 0 && SetFilePointerEx (file.handle, {}, nullptr, FILE_BEGIN)
             && WriteFile (file.handle, tail + cut, kept, &written, nullptr) && written == kept)
            SetEndOfFile (file.handle);
    }
}

std::unique_ptr<LogFile> openLogFile (const juce::File& folder, const juce::String& relativePath, juce::int64 maxInitialSize)
{
    auto names = juce::StringArray::fromTokens (relativePath, "/", {});
    const auto fileName = names.strings.getLast();
    names.remove (names.size() - 1);

    // The application-data folder's place is the user's to choose, and it may itself be a
    // junction: it is opened by its name in its parent, as the folders below it are, and never
    // made. It must be the user's own: the settings may name a folder only administrators may
    // write to, where the program, elevated, would otherwise make folders and write.
    const auto above = openFolderFollowingLinks (folder.getParentDirectory());
    auto current = above.handle != nullptr ? openBelow (above.handle, folder.getFileName(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL,
                                                        FILE_OPEN, FILE_DIRECTORY_FILE)
                                           : Handle();

    if (! isRealEntry (current, above, folder.getFileName(), true) || ! isOwnedByUser (current))
        return nullptr;

    // Each folder opened (made when missing, atomically, so instances starting together agree)
    // relative to the real folder above it, and checked before anything is opened inside it.
    for (const auto& name : names)
    {
        if (current.handle == nullptr)
            return nullptr;

        auto below = openBelow (current.handle, name, FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_OPEN_IF, FILE_DIRECTORY_FILE);

        if (! isRealEntry (below, current, name, true))
            return nullptr;

        current = std::move (below);
    }

    if (current.handle == nullptr)
        return nullptr;

    // Never shared for deletion: while it is held, no other program can rename the log, delete
    // it, or drop a link to it (its link count, checked once it is open, then cannot change).
    constexpr ULONG sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

    // Cut with a handle that can read and rewrite, checked, in its turn (a copy running already
    // may be appending); written to with an append-only one, opened the same way and checked again.
    if (maxInitialSize > 0)
    {
        const auto rewritable = openBelow (current.handle, fileName, FILE_READ_DATA | FILE_WRITE_DATA, FILE_OPEN_IF,
                                           FILE_NON_DIRECTORY_FILE, sharing);

        if (! isRealEntry (rewritable, current, fileName, false))
            return nullptr;

        const LogTurn turn (rewritable.handle);
        trimLog (rewritable, maxInitialSize);
    }

    // Read access too: a byte-range lock needs it, and it does not undo appending.
    auto appendOnly = openBelow (current.handle, fileName, FILE_APPEND_DATA | FILE_READ_DATA, FILE_OPEN_IF,
                                 FILE_NON_DIRECTORY_FILE, sharing);

    if (! isRealEntry (appendOnly, current, fileName, false))
        return nullptr;

    return std::make_unique<WindowsLogFile> (std::move (appendOnly));
}

void handleSystemQuitRequests()
{
    // The framework's window answers WM_QUERYENDSESSION with systemRequestedQuit.
}

bool hasDisplay()
{
    return true;
}

std::unique_ptr<juce::LookAndFeel> createDefaultLookAndFeel()
{
    return nullptr;   // the system has "Microsoft YaHei" or falls back on its own
}

namespace
{
    /** The framework flushes repaints from a thread that waits for the display's vertical blank;
        Wine's wait returns at once without one, so the window would paint once and never again.
    */
    class RepaintPump final : public WindowPump
    {
    public:
        explicit RepaintPump (juce::Component& windowToPump) : WindowPump (windowToPump, Timings::repaintPumpPeriod) {}

    private:
        void pump (juce::ComponentPeer& peer) override    { peer.performAnyPendingRepaintsNow(); }
    };
}

bool recreatedWindowsStayHidden()
{
    return true;   // bringing a hidden window to the front does not show it
}

std::unique_ptr<juce::Timer> createWindowPump (juce::Component& window)
{
    if (isRunningUnderWine())
        return std::make_unique<RepaintPump> (window);

    return nullptr;
}

void hideWindowQuietly (juce::Component& window)
{
    window.setVisible (false);

    // The window stays (the system's end-of-session request comes to it), but off every monitor:
    // the framework then stops the thread that waits for the monitor's vertical blank for it,
    // which would otherwise wake the program hundreds of times a second (thousands under Wine).
    const auto everything = juce::Desktop::getInstance().getDisplays().getTotalBounds (false);
    window.setTopLeftPosition (everything.getRight() + window.getWidth(), everything.getBottom() + window.getHeight());
}

} // namespace platform
