#include "platform/Platform.h"

#include "CurlDownloadTask.h"
#include "FontFallback.h"

#include <fcntl.h>
#include <link.h>
#include <unistd.h>

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
    juce::MemoryBlock readElfHeader (const juce::File& file)
    {
        juce::MemoryBlock header;
        juce::FileInputStream in (file);

        if (in.openedOk())
            in.readIntoMemoryBlock (header, 20);

        return header;
    }

    /** True for an ELF executable of this machine's kind (class, byte order and machine as our own). */
    bool isNativeProgram (const juce::File& file)
    {
        static const auto own = readElfHeader (juce::File ("/proc/self/exe"));
        const auto header = readElfHeader (file);

        if (header.getSize() < 20 || own.getSize() < 20)
            return false;

        const auto* bytes = static_cast<const unsigned char*> (header.getData());
        const auto* ownBytes = static_cast<const unsigned char*> (own.getData());
        const auto elfType = bytes[16] | (bytes[17] << 8);

        return memcmp (bytes, "\x7f" "ELF", 4) == 0
            && bytes[4] == ownBytes[4] && bytes[5] == ownBytes[5]          // class and byte order
            && bytes[18] == ownBytes[18] && bytes[19] == ownBytes[19]      // machine
            && (elfType == 2 || elfType == 3);                             // executable or PIE
    }
}

namespace
{
    /** True when every segment the loader maps lies inside the file. The system refuses to run a
        program cut short, but only in the child, after the framework has reported a start.
    */
    bool isWholeProgram (const juce::File& file)
    {
        juce::FileInputStream in (file);
        ElfW(Ehdr) header {};
        const auto size = (juce::uint64) file.getSize();

        if (! in.openedOk() || in.read (&header, (int) sizeof (header)) != (int) sizeof (header)
             || header.e_phentsize != sizeof (ElfW(Phdr)) || header.e_phnum == 0
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
}

bool startProgram (juce::ChildProcess& process, const juce::File& program)
{
    // The framework's POSIX start reports success even when nothing could be run, and the C
    // library runs a file it cannot execute as a shell script. Only a program of this machine's
    // kind is handed over, with the execute bit that a download lacks.
    if (! program.existsAsFile() || ! isNativeProgram (program) || ! isWholeProgram (program)
         || ! program.setExecutePermission (true))
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

std::unique_ptr<juce::Timer> createRepaintPump (juce::Component&)
{
    return nullptr;   // the X11 peer repaints on its own
}

} // namespace platform
