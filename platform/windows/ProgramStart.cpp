#include "ProgramStart.h"
#include "constants/Texts.h"
#include "constants/Timings.h"

#include <cwchar>
#include <vector>

namespace platform
{

namespace
{
    /** The file the system mapped as the process's image, opened by the name the system keeps
        for it (on Windows the name it reached the file by, after any junction).
    */
    Handle openImageOf (HANDLE process)
    {
        std::vector<wchar_t> name (32768, L'\0');
        auto size = (DWORD) name.size() - 1;

        if (! QueryFullProcessImageNameW (process, 0, name.data(), &size))
            return Handle();

        return Handle (CreateFileW (name.data(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    }

    class WindowsStartedProgram final : public StartedProgram
    {
    public:
        explicit WindowsStartedProgram (Handle&& started) : process (std::move (started)) {}

        // Only a wait that timed out means running: after a failed one, waiting on would keep
        // the hidden program waiting for ever.
        bool isRunning() override    { return waitForExit (0) == false; }

        bool waitForExit (int milliseconds) override
        {
            return WaitForSingleObject (process.handle, (DWORD) juce::jmax (0, milliseconds)) != WAIT_TIMEOUT;
        }

    private:
        const Handle process;
    };
}

DownloadFolder::Start startProgramFile (const Handle& file, const Handle& folder)
{
    // Both paths read off the held handles now, not built earlier: where the files really are.
    // The command line is the program's full path, quoted, so the system never tries
    // "C:\Users\first.exe" for "C:\Users\first last\...". No handles inherited, no pipes: a
    // chatty tool never blocks.
    const auto path = toWin32Path (getFinalPath (file.handle));
    const auto workingFolder = toWin32Path (getFinalPath (folder.handle));

    if (path.isEmpty() || workingFolder.isEmpty())
        return { nullptr, Texts::Start::placeUnreadable };

    // Kept in a buffer of its own: CreateProcessW may write to its command line.
    const auto quoted = "\"" + path + "\"";
    const wchar_t* const wide = quoted.toWideCharPointer();
    std::vector<wchar_t> commandLine (wide, wide + std::wcslen (wide) + 1);
    STARTUPINFOW startup {};
    startup.cb = sizeof (startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION started {};

    if (! CreateProcessW (path.toWideCharPointer(), commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, nullptr,
                          workingFolder.toWideCharPointer(), &startup, &started))
        return {};

    Handle process (started.hProcess);
    const Handle thread (started.hThread);

    // The path may have led elsewhere by the time the system opened it (a junction re-pointed
    // above the held folder): the program runs only if what the system mapped is the checked
    // file itself, and is ended before its first instruction otherwise.
    const auto image = openImageOf (process.handle);

    if (image.handle == nullptr || ! isSameFile (image.handle, file.handle))
    {
        TerminateProcess (process.handle, 1);
        WaitForSingleObject (process.handle, (DWORD) Timings::inMilliseconds (Timings::refusedProgramEndWait));
        return { nullptr, Texts::Start::notTheCheckedFile };
    }

    if (ResumeThread (thread.handle) == (DWORD) -1)
    {
        TerminateProcess (process.handle, 1);
        return {};
    }

    return { std::make_unique<WindowsStartedProgram> (std::move (process)), {} };
}

} // namespace platform
