#include "ProgramStart.h"

#include "Descriptor.h"
#include "rules/ToolEnvironment.h"

#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <vector>

namespace platform
{

namespace
{
    bool readAt (int fd, void* into, size_t size, juce::uint64 offset)
    {
        return ::pread (fd, into, size, (off_t) offset) == (ssize_t) size;
    }

    /** The ELF header at the start of the file open at `fd`, or nothing when it has none. */
    std::optional<ElfW(Ehdr)> readElfHeader (int fd)
    {
        ElfW(Ehdr) header {};

        if (! readAt (fd, &header, sizeof (header), 0) || memcmp (header.e_ident, ELFMAG, SELFMAG) != 0)
            return std::nullopt;

        return header;
    }

    /** An executable of this machine's kind (class, byte order and machine as our own). */
    bool isNativeProgram (const ElfW(Ehdr)& header)
    {
        static const auto own = []
        {
            const int self = ::open ("/proc/self/exe", O_RDONLY | O_CLOEXEC);
            const auto found = self >= 0 ? readElfHeader (self) : std::nullopt;

            if (self >= 0)
                ::close (self);

            return found;
        }();

        return own.has_value()
            && header.e_ident[EI_CLASS] == own->e_ident[EI_CLASS]
            && header.e_ident[EI_DATA] == own->e_ident[EI_DATA]
            && header.e_machine == own->e_machine
            && (header.e_type == ET_EXEC || header.e_type == ET_DYN);   // executable or PIE
    }

    /** True when every segment the loader maps lies inside the file. The system refuses to run a
        program cut short, but only in the child, after the start has been reported.
    */
    bool isWholeProgram (int fd, const ElfW(Ehdr)& header, juce::uint64 size)
    {
        if (header.e_phentsize != sizeof (ElfW(Phdr)) || header.e_phnum == 0
             || header.e_phoff > size || (juce::uint64) header.e_phnum * sizeof (ElfW(Phdr)) > size - header.e_phoff)
            return false;

        for (int i = 0; i < header.e_phnum; ++i)
        {
            ElfW(Phdr) segment {};

            if (! readAt (fd, &segment, sizeof (segment), header.e_phoff + (juce::uint64) i * sizeof (segment)))
                return false;

            if (segment.p_type == PT_LOAD && (segment.p_offset > size || segment.p_filesz > size - segment.p_offset))
                return false;
        }

        return true;
    }

    class LinuxStartedProgram final : public StartedProgram
    {
    public:
        explicit LinuxStartedProgram (pid_t started)
            : pid (started), ending ((int) ::syscall (SYS_pidfd_open, started, 0)) {}

        bool isRunning() override
        {
            int status = 0;

            if (pid > 0 && ::waitpid (pid, &status, WNOHANG) != 0)
                pid = 0;   // ended (and reaped), or not ours any more

            return pid > 0;
        }

        bool waitForExit (int milliseconds) override
        {
            // The process's descriptor becomes readable when it ends; without one (a kernel
            // before 5.3) it is asked a few times within the time.
            if (ending.fd >= 0 && isRunning())
            {
                pollfd ended { ending.fd, POLLIN, 0 };
                ::poll (&ended, 1, milliseconds);
            }
            else
            {
                for (int waited = 0; waited < milliseconds && isRunning(); waited += 10)
                    ::usleep (10000);
            }

            return ! isRunning();
        }

    private:
        pid_t pid;
        const Descriptor ending;
    };
}

std::unique_ptr<StartedProgram> startProgramFile (int file, int folder, const juce::String& name,
                                                  const juce::String& temporaryFolder)
{
    // posix_spawn reports a program that cannot be run, but the C library would run a file it
    // cannot execute as a shell script. Only a whole program of this machine's kind is handed
    // over, with the execute bit that a download lacks.
    struct stat info {};
    const auto header = ::fstat (file, &info) == 0 && S_ISREG (info.st_mode) ? readElfHeader (file) : std::nullopt;

    if (! header.has_value() || ! isNativeProgram (*header) || ! isWholeProgram (file, *header, (juce::uint64) info.st_size)
         || ::fchmod (file, (info.st_mode & 07777) | S_IXUSR | S_IXGRP | S_IXOTH) != 0)
        return nullptr;

    // The descriptor's own entry names the open file itself (what fexecve does where execveat is
    // missing), and posix_spawn still reports a failed exec.
    const auto opened = kernelLinkTo (file);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);

    // The held folder as its working folder; no pipe, so a chatty tool never blocks.
    const auto prepared = posix_spawn_file_actions_addfchdir_np (&actions, folder) == 0
                       && posix_spawn_file_actions_addopen (&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0
                       && posix_spawn_file_actions_addopen (&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0;

    // The system's own PATH stands for the machine's, as Windows keeps one apart from the user's.
    std::vector<rules::EnvironmentVariable> own;

    for (auto** entry = environ; *entry != nullptr; ++entry)
    {
        const juce::String text { juce::CharPointer_UTF8 (*entry) };

        if (const auto split = text.indexOfChar ('='); split > 0)
            own.push_back ({ text.substring (0, split), text.substring (split + 1) });
    }

    juce::StringArray entries;

    for (const auto& variable : rules::makeToolEnvironment (own, "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                                                            temporaryFolder, rules::EnvironmentKind::posix))
        entries.add (variable.name + "=" + variable.value);

    std::vector<char*> environment;

    for (const auto& entry : entries)
        environment.push_back (const_cast<char*> (entry.toRawUTF8()));

    environment.push_back (nullptr);
    char* const arguments[] = { const_cast<char*> (name.toRawUTF8()), nullptr };
    pid_t pid = 0;
    const auto started = prepared && ::posix_spawn (&pid, opened.toRawUTF8(), &actions, nullptr, arguments, environment.data()) == 0;
    posix_spawn_file_actions_destroy (&actions);

    if (! started)
        return nullptr;

    return std::make_unique<LinuxStartedProgram> (pid);
}

} // namespace platform
