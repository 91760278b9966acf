#pragma once

#include "platform/DownloadTask.h"
#include "rules/AuthenticodeVerdict.h"
#include "rules/SignerIdentity.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <chrono>

/** What the program needs from the system it runs on. The Windows build gets it from the
    framework's Windows layer where that does what the program needs, and from our own code over
    the Windows API where it does not (the download, the folder, the start, the signature check,
    the log); the Linux build, which exists for tests and debugging, gets the same behaviour from
    a layer of its own. One implementation per system, chosen by the build.
*/
namespace platform
{
    /** The operating-system name the download is chosen by ("Windows 10", "Windows 7", ...).
        The Linux build reports a name fixed when it is built, so that it runs the Windows paths.
    */
    juce::String getOperatingSystemName();

    /** Connects to `url` and starts writing its body to the file `target`, opened through
        `openOutput`, with the meaning of the Windows HTTP stack: null when no HTTP answer came
        back (refused, unknown host, TLS failure, empty address, time-out) or there is no output;
        otherwise a running task, whatever the status code. Blocks until then. Uses the system's
        proxy settings (on Linux the usual proxy variables).

        Each answer's head goes, as its lines came, to one rules::AnswerJudge, the same on every system:
        it follows redirects (never away from https, at most 5, never in a loop), refuses a final
        answer whose body's end cannot be told or is not the file's bytes (a task finished at once,
        a server error with getRefusal() saying why), and decides what a ranged answer is good for.

        A plain attempt opens a new, empty file before it connects (a failed attempt leaves it).
        One that `resume.canResume()` asks for the rest only (Range and If-Range, on every
        redirect too) and opens the file once the answer is in: a 206 of the same version from the
        same address, continuing the kept bytes exactly to the complete length, is appended to
        them, and is whole only at that length (fewer bytes are a cut, more an error); a 200
        replaces them, as does any other answer, judged as usual; a 5xx or 429 gives no task and
        leaves them to the next attempt; a 206 that does not fit, or a 416, is followed at once by
        a plain request that empties the file only once its own answer is in (see rules::RangedAnswer).
        Without an answer nothing of the kept file is touched.

        The server's certificate must have a chain to a root the machine trusts: on Windows the
        one WinINet received is judged again by the local machine's roots alone (the current
        user's store, which any program of the user can add to, is not asked), and one that fails
        gives no task, with `end` (when given) saying why; Linux trusts the system's bundle. An
        answer that gives no task for now (a 5xx or 429 to a ranged request) says in `end` how long
        its server asked us to wait.

        Called on a juce::Thread, the attempt gives up early once that thread is asked to exit.
    */
    std::unique_ptr<DownloadTask> startDownload (const juce::URL& url, const juce::File& target,
                                                 const DownloadOutputOpener& openOutput, const rules::DownloadResume& resume = {},
                                                 AttemptEnd* end = nullptr);

    // Who signed a program, and which signers may start one: the same rules on every system.
    using rules::SignerIdentity;
    using rules::SignerFilter;

    /** A program started from a download folder; letting it go leaves the program running. */
    class StartedProgram
    {
    public:
        virtual ~StartedProgram() = default;

        /** True while it runs; false once it has ended, or when the system can no longer say. */
        virtual bool isRunning() = 0;

        /** Waits until it has ended (true at once then), or `milliseconds` have passed (false). */
        virtual bool waitForExit (int milliseconds) = 0;
    };

    /** The name, in the per-run folder, of the folder the tool gets as TEMP and TMP. */
    constexpr auto toolTemporaryFolderName = "temp";

    /** The per-run folder the download goes into, made so that nothing with fewer rights than
        the program can change what is in it. The program runs elevated and the folders above this
        one are the user's, who can re-point a path through them at any moment: so everything the
        program does to the folder and the files in it goes through this object's hold on it
        (names are looked up in the held folder, never along a path again), and it is the only
        way to act on them. Its functions may be called from more than one thread.

        Both systems keep every other account out (a protected access list on Windows when
        elevated, mode 0700 on Linux). Within the same account Windows has the elevation boundary
        and the lock keeps the checked file from being written, renamed or deleted; Linux has no
        such boundary, so there the lock holds the file itself (it is what is started) but cannot
        stop a process of the same account from writing it.
    */
    class DownloadFolder
    {
    public:
        virtual ~DownloadFolder() = default;

        /** Makes an empty folder named `name` in the held folder: the run starts with one at the
            download's name, as the program always has (the log's "Download to:" names a path
            that exists), and the first attempt's createFile replaces it.
        */
        virtual bool createPlaceholderFolder (const juce::String& name) = 0;

        /** Replaces whatever is at `name` in the folder (a file, an empty folder) with a new file
            open for writing, made relative to the held folder itself: never through a path that
            a link could redirect. Null when it cannot be made so, or once the folder is removed.
            When the stream goes, its file stays held (see lockFile) until it is locked, written
            again, or the folder removed.
        */
        virtual std::unique_ptr<juce::OutputStream> createFile (const juce::String& name) = 0;

        /** Opens the regular file `name` in the held folder (never through a link) for writing,
            cut to its first `keep` bytes and positioned after them: a download resumed. Null when
            it is not there, is shorter, or cannot be opened so (someone has it open for writing).
        */
        virtual std::unique_ptr<juce::OutputStream> reopenFile (const juce::String& name, juce::int64 keep) = 0;

        /** True when a regular file named `name` is in the held folder (a link is not). */
        virtual bool holdsFile (const juce::String& name) = 0;

        /** Locks the file `name` in the held folder, so that no one can write, rename or delete it
            (see below for Linux) until it is started or the folder is removed. A file written
            through createFile or reopenFile is held from its creation on: the lock is taken from
            the writer's own handle (on Windows, where a program cannot be started from a file
            open for writing, a read-only handle opened on it while the writer still holds it, and
            one that shares no writing once it has gone; only a process that may write the file at
            all could come between, and the folder's access list keeps unprivileged ones out).
            Another file is opened by its name in the held folder (never through a link). False
            when it cannot be locked so (it is missing, not a regular file, or someone has it
            open for writing); then nothing is locked.

            Linux: the written file's descriptor is reopened read-only through the kernel's link
            to it, so the lock is the inode that was written, whatever was put at its name since;
            what it cannot mean there is that the file went unwritten: every process of the same
            account may write it, held or not.
        */
        virtual bool lockFile (const juce::String& name) = 0;

        /** The locked file's size in bytes, read through the lock; -1 when nothing is locked. */
        virtual juce::int64 getLockedFileSize() = 0;

        /** Checks the signature of the locked file, read through the lock (never opened again):
            on Windows its Authenticode signature, with a chain to a trusted root and a signer
            that `isAllowed`; ELF programs carry no signature, so the Linux build has nothing to
            check. A failure says why it may not be started, in a few words for the log.
        */
        virtual juce::Result checkSignature (const SignerFilter& isAllowed) = 0;

        /** What the locked file's own signature says of its bytes, read through the lock, whoever
            signed it (Windows: Authenticode); ELF programs carry none, so the Linux build says
            nothing. The last word on whether a file is whole: no header can show a file changed
            on the server between two parts of one download, its signature's digest can.
        */
        virtual rules::SignedBytes checkSignedBytes() = 0;

        struct Start
        {
            std::unique_ptr<StartedProgram> program;   // null when nothing runs
            juce::Result refusal = juce::Result::ok();   // failed: stopped before it ran, and why (for the log)
        };

        /** Starts the locked file itself, so that what runs is what was checked: no arguments,
            its command line its own path, the held folder its working folder (the folder the user
            started us from may hold planted DLLs), its output not captured. Its environment is the
            program's without what the user could make it load or unpack into
            (rules::makeToolEnvironment): TEMP and TMP are the folder toolTemporaryFolderName in the
            held one, made with it and held (made again here when a removal that failed let it
            go), gone with it. Nothing runs when it is not a program of this system, when that
            folder cannot be had (a refusal), or when the system started something other than the
            locked file (Windows: it is ended before its first instruction, with a refusal). The
            lock is let go after the start: from then on the system itself keeps a running
            program's file from being changed.
        */
        virtual Start startLockedFile() = 0;

        /** Deletes everything in the held folder, then the folder itself, each through the hold
            (entries opened relative to it, links removed as links where the system lets us, else
            left, never followed). A link found at the folder's own name goes as a link; the held
            folder goes from where it is, moved away or not. False when something in it cannot be
            deleted yet (an attempt still has its file open), or on Windows the folder itself (a
            process still has it open without delete sharing): the hold stays, for another try.
            Once it returns true nothing is held, and nothing can be made or started through this
            object any more.
        */
        virtual bool remove() = 0;

        /** remove(), tried again every `Timings::attemptPoll` while it returns false, for up to
            `patience` (none: once). What it last returned.
        */
        bool removeWithin (std::chrono::milliseconds patience);

        /** After remove() has returned true: whether the folder itself is gone (false when the
            system would not delete it, or it could not be found where it was moved to).
        */
        virtual bool wasDeleted() = 0;
    };

    /** A veto on where a download folder may be, after the system's own check: the tests' seam. */
    using ProtectionCheck = std::function<bool (const juce::File& madeFolder)>;

    /** What came of makeDownloadFolder: the folder, or none and whether one was made but went
        again because its protection did not hold.
    */
    struct MadeDownloadFolder
    {
        std::unique_ptr<DownloadFolder> folder;
        bool unprotected = false;
    };

    /** Makes `folder`, which must not exist, as a download folder, by its name in its parent
        (opened by path once), and reads its protection back through the hold: on a local volume
        that keeps it (Windows: access lists kept, not remote; Linux: owner and mode as asked for,
        not a network file system), and where the program set an access list (elevated Windows),
        that list, protected, and its owner, as set; then asks `allowed`, when given. No folder
        when it cannot be made, or when its protection does not hold (then what was made goes again).
    */
    MadeDownloadFolder makeDownloadFolder (const juce::File& folder, const ProtectionCheck& allowed = {});

    /** makeDownloadFolder's folder, null when there is none. */
    std::unique_ptr<DownloadFolder> createDownloadFolder (const juce::File& folder);

    /** The per-run folder `name` made as createDownloadFolder does in `temporaryFolder` (the
        user's), or, where the folder made there is not protected (a volume without access lists,
        an SD card or USB stick; a share), in the system's temporary folder instead, under a new
        random name, made and checked the same way. `madeIn` is set to the folder made, or to the one in
        `temporaryFolder` when none is. Null when none could be made protected: then nothing is
        downloaded. A folder that cannot be made at all is not looked for elsewhere.
    */
    std::unique_ptr<DownloadFolder> createProtectedDownloadFolder (const juce::File& temporaryFolder, const juce::String& name,
                                                                   juce::File& madeIn, const ProtectionCheck& allowed = {});

    /** The system's own temporary folder (Windows: Temp in the Windows folder; Linux: /tmp). */
    juce::File getSystemTemporaryFolder();

    /** Cancels a download and lets it go without making the caller wait for the network: the
        task (whose destructor may wait for a read the system's HTTP stack does not interrupt) is
        moved into a job of its own and ends there; only when no job can be started, here.
    */
    void discardDownload (std::unique_ptr<juce::URL::DownloadTask> task);

    /** A log file opened by openLogFile. */
    class LogFile
    {
    public:
        virtual ~LogFile() = default;

        /** Appends `size` bytes in one write that other processes appending to the same file at
            the same time cannot split or overwrite. False if it could not be written.
        */
        virtual bool append (const void* data, size_t size) = 0;
    };

    /** Opens the log at `relativePath` ('/' between names) below `folder` for appending. The
        program runs elevated and the folders are the user's, so the log is opened only if
        `folder` itself (which must exist: it is never made, and must be the user's own: owned by
        the token's user on Windows, by the real user on Linux) and every folder on the way below
        it is a real folder (missing ones below it are made) and the file a regular file with a
        single link: never through a link or junction, so nothing else is ever written.
        A file longer than `maxInitialSize` (when positive) is cut on the opened file to its tail
        from the first line break in its last `maxInitialSize` bytes, or left alone when a NUL or
        the end comes first. Null when the path is not safe or the file cannot be opened.
    */
    std::unique_ptr<LogFile> openLogFile (const juce::File& folder, const juce::String& relativePath,
                                          juce::int64 maxInitialSize);

    /** Where a log is cut: the index in `tail` (its last bytes) of the first CR or LF, or -1 when
        a NUL or the end comes first. The framework's FileLogger::trimFileSize cuts the same way.
    */
    inline int findLogCut (const char* tail, int size)
    {
        for (int i = 0; i < size && tail[i] != 0; ++i)
            if (tail[i] == '\r' || tail[i] == '\n')
                return i;

        return -1;
    }

    /** Passes the system's request to end the program to JUCEApplicationBase::systemRequestedQuit
        on the message thread: on Windows the framework does it when the session ends; the Linux
        layer does it for SIGTERM, what a session manager or `kill` sends. Call from initialise.
    */
    void handleSystemQuitRequests();

    /** False when there is no display to open a window on. */
    bool hasDisplay();

    /** A default look-and-feel that finds the fonts the program asks for where the system lacks
        them (the Chinese texts' "Microsoft YaHei"), or null where the framework's own does.
        Install it for the program's lifetime, before the first window.
    */
    std::unique_ptr<juce::LookAndFeel> createDefaultLookAndFeel();

    /** False where the framework shows a top-level window each time it re-creates the window's
        native peer (setUsingNativeTitleBar, setResizable), even while the window is hidden:
        there a window must join the desktop only once it is set up.
    */
    bool recreatedWindowsStayHidden();

    /** Hides the program's window for good (its tool runs) and stops what the system and the
        framework keep running for a window, so that the waiting program wakes only when it
        means to. The window object stays, as do the system's requests to end the program.
    */
    void hideWindowQuietly (juce::Component& window);

    /** Returns something to keep alive with `window` where the system needs help to get the
        window's repaints onto the screen or its events to the window, or null where it does not.
    */
    std::unique_ptr<juce::Timer> createWindowPump (juce::Component& window);
}
