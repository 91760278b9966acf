#include "platform/Platform.h"

#include "CurlDownloadTask.h"
#include "Descriptor.h"
#include "FontFallback.h"
#include "QueuedEventPump.h"

#include <fcntl.h>
#include <link.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <utility>

namespace platform
{

juce::String getOperatingSystemName()
{
    // Posing as Windows runs the same code paths as the product does.
    return VANTREL_LINUX_OS_NAME;
}

std::unique_ptr<juce::URL::DownloadTask> startDownload (const juce::URL& url, const juce::File& target,
                                                        std::unique_ptr<juce::OutputStream> output)
{
    return CurlDownloadTask::start (url, target, std::move (output));
}

void discardDownload (std::unique_ptr<juce::URL::DownloadTask> task)
{
    task.reset();   // our own task stops within one poll of the transfer
}

namespace
{
    class LinuxLogFile final : public LogFile
    {
    public:
        explicit LinuxLogFile (Descriptor&& file) : descriptor (std::move (file)) {}

        bool append (const void* data, size_t size) override
        {
            // O_APPEND: the kernel puts each write at the end, so lines of several processes never overlap.
            return ::write (descriptor.fd, data, size) == (ssize_t) size;
        }

    private:
        Descriptor descriptor;
    };

    /** Keeps the tail of an open file (see openLogFile), written over its start and cut there. */
    void trimLog (int fd, juce::int64 fileSize, juce::int64 maxSize)
    {
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

    folder.createDirectory();   // where the path starts: trusted, as the framework makes it
    Descriptor current (::open (folder.getFullPathName().toRawUTF8(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

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
        trimLog (file.fd, info.st_size, maxInitialSize);

    return std::make_unique<LinuxLogFile> (std::move (file));
}

namespace
{
    /** The ELF header at the start of `in`, or nothing when it has none. */
    std::optional<ElfW(Ehdr)> readElfHeader (juce::InputStream& in)
    {
        ElfW(Ehdr) header {};

        if (in.read (&header, (int) sizeof (header)) != (int) sizeof (header)
             || memcmp (header.e_ident, ELFMAG, SELFMAG) != 0)
            return std::nullopt;

        return header;
    }

    /** An executable of this machine's kind (class, byte order and machine as our own). */
    bool isNativeProgram (const ElfW(Ehdr)& header)
    {
        static const auto own = []
        {
            juce::FileInputStream in (juce::File ("/proc/self/exe"));
            return in.openedOk() ? readElfHeader (in) : std::nullopt;
        }();

        return own.has_value()
            && header.e_ident[EI_CLASS] == own->e_ident[EI_CLASS]
            && header.e_ident[EI_DATA] == own->e_ident[EI_DATA]
            && header.e_machine == own->e_machine
            && (header.e_type == ET_EXEC || header.e_type == ET_DYN);   // executable or PIE
    }

    /** True when every segment the loader maps lies inside the file. The system refuses to run a
        program cut short, but only in the child, after the framework has reported a start.
    */
    bool isWholeProgram (juce::InputStream& in, const ElfW(Ehdr)& header, juce::uint64 size)
    {
        if (header.e_phentsize != sizeof (ElfW(Phdr)) || header.e_phnum == 0
             || header.e_phoff > size || (juce::uint64) header.e_phnum * sizeof (ElfW(Phdr)) > size - header.e_phoff
             || ! in.setPosition ((juce::int64) header.e_phoff))
            return false;

        for (int i = 0; i < header.e_phnum; ++i)
        {
            ElfW(Phdr) segment {};

            if (in.read (&segment, (int) sizeof (segment)) != (int) sizeof (segment))
                return false;

            if (segment.p_type == PT_LOAD && (segment.p_offset > size || segment.p_filesz > size - segment.p_offset))
                return false;
        }

        return true;
    }

    bool isStartableProgram (const juce::File& file)
    {
        juce::FileInputStream in (file);
        const auto header = in.openedOk() ? readElfHeader (in) : std::nullopt;

        return header.has_value() && isNativeProgram (*header)
            && isWholeProgram (in, *header, (juce::uint64) file.getSize());
    }
}

namespace
{
    class LinuxStartedProgram final : public StartedProgram
    {
    public:
        explicit LinuxStartedProgram (pid_t started) : pid (started) {}

        bool isRunning() override
        {
            int status = 0;

            if (pid > 0 && ::waitpid (pid, &status, WNOHANG) != 0)
                pid = 0;   // ended (and reaped), or not ours any more

            return pid > 0;
        }

    private:
        pid_t pid;
    };
}

std::unique_ptr<StartedProgram> startProgram (const juce::File& program)
{
    // posix_spawn reports a program that cannot be run, but the C library would run a file it
    // cannot execute as a shell script. Only a program of this machine's kind is handed over,
    // with the execute bit that a download lacks.
    if (! program.existsAsFile() || ! isStartableProgram (program) || ! program.setExecutePermission (true))
        return nullptr;

    const auto path = program.getFullPathName();
    const auto folder = program.getParentDirectory().getFullPathName();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);

    // Its own folder as its working folder; no pipe, so a chatty tool never blocks.
    const auto prepared = posix_spawn_file_actions_addchdir_np (&actions, folder.toRawUTF8()) == 0
                       && posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0
                       && posix_spawn_file_actions_addopen (&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0;

    char* const arguments[] = { const_cast<char*> (path.toRawUTF8()), nullptr };
    pid_t pid = 0;
    const auto started = prepared && ::posix_spawn (&pid, path.toRawUTF8(), &actions, nullptr, arguments, environ) == 0;
    posix_spawn_file_actions_destroy (&actions);

    if (! started)
        return nullptr;

    return std::make_unique<LinuxStartedProgram> (pid);
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
