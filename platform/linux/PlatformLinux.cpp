#include "platform/Platform.h"

#include "CurlDownloadTask.h"
#include "FontFallback.h"

#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <optional>

namespace platform
{

juce::String getOperatingSystemName()
{
    // Posing as Windows runs the same code paths as the product does.
    return VANTREL_LINUX_OS_NAME;
}

std::unique_ptr<juce::URL::DownloadTask> startDownload (const juce::URL& url, const juce::File& target)
{
    return CurlDownloadTask::start (url, target);
}

void discardDownload (std::unique_ptr<juce::URL::DownloadTask> task)
{
    task.reset();   // our own task stops within one poll of the transfer
}

bool appendToFile (const juce::File& file, const void* data, size_t size)
{
    // O_APPEND: the kernel puts each write at the end, so lines of several processes never overlap.
    const auto fd = ::open (file.getFullPathName().toRawUTF8(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);

    if (fd < 0)
        return false;

    const auto written = ::write (fd, data, size);
    ::close (fd);
    return written == (ssize_t) size;
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

bool startProgram (juce::ChildProcess& process, const juce::File& program)
{
    // The framework's POSIX start reports success even when nothing could be run, and the C
    // library runs a file it cannot execute as a shell script. Only a program of this machine's
    // kind is handed over, with the execute bit that a download lacks.
    if (! program.existsAsFile() || ! isStartableProgram (program) || ! program.setExecutePermission (true))
        return false;

    // One argument keeps a path with spaces whole; no pipe, so a chatty tool never blocks.
    return process.start (juce::StringArray { program.getFullPathName() }, 0);
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

std::unique_ptr<juce::Timer> createRepaintPump (juce::Component&)
{
    return nullptr;   // the X11 peer repaints on its own
}

void hideWindowQuietly (juce::Component& window)
{
    // Without its native window the framework's vertical-blank timer, which runs at the display's
    // rate for every window, shown or not, stops too. SIGTERM needs no window to reach us.
    window.setVisible (false);
    window.removeFromDesktop();
}

} // namespace platform
