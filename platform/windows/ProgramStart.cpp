#include "ProgramStart.h"
#include "constants/Texts.h"
#include "constants/Timings.h"
#include "rules/ToolEnvironment.h"

#include <algorithm>
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

    /** The program's own environment, as the system gave it. */
    std::vector<rules::EnvironmentVariable> readOwnEnvironment()
    {
        std::vector<rules::EnvironmentVariable> own;
        auto* const block = GetEnvironmentStringsW();

        for (auto* entry = block; entry != nullptr && *entry != L'\0'; entry += std::wcslen (entry) + 1)
        {
            // A name may begin with '=' (the system's folder of each drive, "=C:=C:\\..."): its own
            // '=' is the next one.
            const juce::String text (entry);
            const auto split = text.indexOfChar (1, '=');

            if (split > 0)
                own.push_back ({ text.substring (0, split), text.substring (split + 1) });
        }

        if (block != nullptr)
            FreeEnvironmentStringsW (block);

        return own;
    }

    /** A value of the machine's own environment (HKLM), unexpanded; empty when there is none. */
    juce::String readMachineVariable (const juce::String& name)
    {
        HKEY key = nullptr;

        if (RegOpenKeyExW (HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", 0,
                           KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            return {};

        DWORD type = 0, size = 0;
        juce::String value;

        if (RegQueryValueExW (key, name.toWideCharPointer(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS
             && (type == REG_SZ || type == REG_EXPAND_SZ))
        {
            std::vector<wchar_t> text (size / sizeof (wchar_t) + 1, L'\0');
            size = (DWORD) ((text.size() - 1) * sizeof (wchar_t));

            if (RegQueryValueExW (key, name.toWideCharPointer(), nullptr, &type, reinterpret_cast<BYTE*> (text.data()), &size) == ERROR_SUCCESS)
                value = juce::String (text.data());
        }

        RegCloseKey (key);
        return value;
    }

    /** The machine's PATH, its %NAME% references expanded from the machine's own variables and
        the system's folder only: the user's could re-point %SystemRoot% or any other.
    */
    juce::String readMachinePath()
    {
        wchar_t windows[MAX_PATH] {};
        const auto length = GetSystemWindowsDirectoryW (windows, MAX_PATH);
        const auto windowsFolder = length > 0 && length < MAX_PATH ? juce::String (windows) : juce::String();
        const auto path = readMachineVariable ("Path");
        juce::String expanded;

        for (int at = 0; at < path.length();)
        {
            const auto open = path.indexOfChar (at, '%');
            const auto close = open >= 0 ? path.indexOfChar (open + 1, '%') : -1;

            if (close < 0)
            {
                expanded << path.substring (at);
                break;
            }

            const auto name = path.substring (open + 1, close);
            auto value = name.equalsIgnoreCase ("SystemRoot") || name.equalsIgnoreCase ("windir") ? windowsFolder
                       : name.equalsIgnoreCase ("SystemDrive") ? windowsFolder.substring (0, 2)
                       : readMachineVariable (name);
            expanded << path.substring (at, open) << (value.isNotEmpty() ? value : path.substring (open, close + 1));
            at = close + 1;
        }

        return expanded;
    }

    /** An environment block for CreateProcessW: sorted by name, ignoring case, as the system
        keeps its own.
    */
    std::vector<wchar_t> makeEnvironmentBlock (std::vector<rules::EnvironmentVariable> variables)
    {
        std::stable_sort (variables.begin(), variables.end(), [] (const auto& a, const auto& b)
                          { return a.name.compareIgnoreCase (b.name) < 0; });
        std::vector<wchar_t> block;

        for (const auto& variable : variables)
        {
            const auto entry = variable.name + "=" + variable.value;
            const wchar_t* const wide = entry.toWideCharPointer();
            block.insert (block.end(), wide, wide + std::wcslen (wide) + 1);
        }

        block.push_back (L'\0');
        return block;
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

DownloadFolder::Start startProgramFile (const Handle& file, const Handle& folder, const Handle& temporaryFolder)
{
    // Both paths read off the held handles now, not built earlier: where the files really are.
    // The command line is the program's full path, quoted, so the system never tries
    // "C:\Users\first.exe" for "C:\Users\first last\...". No handles inherited, no pipes: a
    // chatty tool never blocks.
    const auto path = toWin32Path (getFinalPath (file.handle));
    const auto workingFolder = toWin32Path (getFinalPath (folder.handle));
    const auto temporary = toWin32Path (getFinalPath (temporaryFolder.handle));

    if (path.isEmpty() || workingFolder.isEmpty() || temporary.isEmpty())
        return { nullptr, juce::Result::fail (Texts::Start::placeUnreadable) };

    auto environment = makeEnvironmentBlock (rules::makeToolEnvironment (readOwnEnvironment(), readMachinePath(), temporary,
                                                                         rules::EnvironmentKind::windows));

    // Kept in a buffer of its own: CreateProcessW may write to its command line.
    const auto quoted = "\"" + path + "\"";
    const wchar_t* const wide = quoted.toWideCharPointer();
    std::vector<wchar_t> commandLine (wide, wide + std::wcslen (wide) + 1);
    STARTUPINFOW startup {};
    startup.cb = sizeof (startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION started {};

    if (! CreateProcessW (path.toWideCharPointer(), commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, environment.data(),
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
        return { nullptr, juce::Result::fail (Texts::Start::notTheCheckedFile) };
    }

    if (ResumeThread (thread.handle) == (DWORD) -1)
    {
        TerminateProcess (process.handle, 1);
        return {};
    }

    return { std::make_unique<WindowsStartedProgram> (std::move (process)) };
}

} // namespace platform
