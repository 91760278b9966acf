#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** What the program needs from the system it runs on. The Windows build gets it from the
    framework's Windows layer; the Linux build, which exists for tests and debugging, gets the
    same behaviour from a small layer of its own. One implementation per system, chosen by the build.
*/
namespace platform
{
    /** The operating-system name the download is chosen by ("Windows 10", "Windows 7", ...).
        The Linux build reports a name fixed when it is built, so that it runs the Windows paths.
    */
    juce::String getOperatingSystemName();

    /** Connects to `url` and starts writing its body to `output`, the file `target` made by
        DownloadFolder::createFile, with the meaning of the Windows HTTP stack: null when no HTTP
        answer came back (refused, unknown host, TLS failure, empty address, time-out) or there is
        no output; otherwise a running task, whatever the status code, after following redirects
        (never away from https). Blocks until then. Uses the system's proxy settings (on Linux the
        usual proxy variables). A failed attempt leaves the empty file.

        Called on a juce::Thread, the attempt gives up early once that thread is asked to exit.
    */
    std::unique_ptr<juce::URL::DownloadTask> startDownload (const juce::URL& url, const juce::File& target,
                                                            std::unique_ptr<juce::OutputStream> output);

    /** Whether a signer, named by the common names of its certificate's subject and issuer, may
        have signed the program that is started.
    */
    using SignerFilter = std::function<bool (const juce::String& subject, const juce::String& issuer)>;

    /** The per-run folder the download goes into, made so that nothing with fewer rights than
        the program can change what is in it, and kept so until released (destroyed): the file
        that is checked must be the file that is started, even with another, unprivileged process
        watching the temporary folder.
    */
    class DownloadFolder
    {
    public:
        virtual ~DownloadFolder() = default;

        /** Opens `file`, by its name in the held folder (never through a link), so that no one can
            write, rename or delete it until unlockFile() or the end of the hold. False when it
            cannot be opened that way (it is missing, not a regular file, or someone has it open
            for writing).
        */
        virtual bool lockFile (const juce::File& file) = 0;
        virtual void unlockFile() = 0;

        /** Replaces whatever is at `name` in the folder (a file, an empty folder) with a new file
            open for writing, made relative to the held folder itself: never through a path that
            a link could redirect. Null when it cannot be made so. Safe on any one thread.
        */
        virtual std::unique_ptr<juce::OutputStream> createFile (const juce::String& name) = 0;

        /** Checks the signature of the locked file, read through the lock (never opened again):
            on Windows its Authenticode signature, with a chain to a trusted root and a signer
            that `isAllowed`; ELF programs carry no signature, so the Linux build has nothing to
            check. Empty when it may be started, else why not, in a few words for the log.
        */
        virtual juce::String checkSignature (const SignerFilter& isAllowed) = 0;
    };

    /** Makes `folder`, which must not exist, as a download folder. Null when it cannot be made. */
    std::unique_ptr<DownloadFolder> createDownloadFolder (const juce::File& folder);

    /** Deletes the per-run `folder` and what is in it. A link found in its place is removed as a
        link where the system lets us, else left; it is never followed: nothing it points to is
        ever deleted.
    */
    void deleteDownloadFolder (const juce::File& folder);

    /** Cancels a download and lets it go without making the caller wait for the network: where
        the system's HTTP stack cannot interrupt a read in progress, on a thread of its own.
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
        program runs elevated and the folders are the user's, so the log is opened only if every
        folder on the way below `folder` is a real folder (missing ones are made) and the file a
        regular file with a single link: never through a link, so nothing else is ever written.
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

    /** A program started by startProgram; letting it go leaves the program running. */
    class StartedProgram
    {
    public:
        virtual ~StartedProgram() = default;

        virtual bool isRunning() = 0;
    };

    /** Starts `program` with its own folder as its working folder (the program runs elevated: the
        folder the user started us from may hold planted DLLs), no arguments and its output not
        captured; its command line is its full path, quoted. Null when it could not be started
        as a program.
    */
    std::unique_ptr<StartedProgram> startProgram (const juce::File& program);

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
