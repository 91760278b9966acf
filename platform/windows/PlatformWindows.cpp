#include "platform/Platform.h"
#include "platform/BackgroundJobs.h"
#include "WinInetDownloadTask.h"

#include <windows.h>

namespace platform
{

juce::String getOperatingSystemName()
{
    return juce::SystemStats::getOperatingSystemName();
}

std::unique_ptr<juce::URL::DownloadTask> startDownload (const juce::URL& url, const juce::File& target)
{
    return startWinInetDownload (url, target);
}

void discardDownload (std::unique_ptr<juce::URL::DownloadTask> task)
{
    if (task == nullptr)
        return;

    // The task cancels its request and then waits for its thread, which may sit in a read that
    // the HTTP stack does not interrupt (Wine's does not always): closing the window must not
    // wait for the network, so the waiting happens on a job that the exit may cut short.
    std::shared_ptr<juce::URL::DownloadTask> shared (std::move (task));

    if (! BackgroundJobs::launch ([shared]() mutable { shared.reset(); }))
        shared.reset();
}

bool appendToFile (const juce::File& file, const void* data, size_t size)
{
    // Append-only access shared with every other writer: each write lands whole at the end.
    const auto handle = CreateFileW (file.getFullPathName().toWideCharPointer(), FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);

    if (handle == INVALID_HANDLE_VALUE)
        return false;

    DWORD written = 0;
    const auto ok = WriteFile (handle, data, (DWORD) size, &written, nullptr) && written == (DWORD) size;
    CloseHandle (handle);
    return ok;
}

bool startProgram (juce::ChildProcess& process, const juce::File& program)
{
    // One argument: the framework quotes a path with spaces, so the system never tries
    // "C:\Users\first.exe" for "C:\Users\first last\...". No pipes: a chatty tool never blocks.
    return process.start (juce::StringArray { program.getFullPathName() }, 0);
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
    bool isRunningUnderWine()
    {
        const auto ntdll = GetModuleHandleW (L"ntdll.dll");
        return ntdll != nullptr && GetProcAddress (ntdll, "wine_get_version") != nullptr;
    }

    /** The framework flushes repaints from a thread that waits for the display's vertical blank;
        Wine's wait returns at once without one, so the window would paint once and never again.
        Runs only while the window is visible: a hidden one has nothing to show.
    */
    class RepaintPump final : public juce::Timer,
                              private juce::ComponentListener
    {
    public:
        explicit RepaintPump (juce::Component& windowToPump) : window (windowToPump)
        {
            window.addComponentListener (this);
            componentVisibilityChanged (window);
        }

        ~RepaintPump() override    { window.removeComponentListener (this); }

        void timerCallback() override
        {
            if (auto* peer = window.getPeer())
                peer->performAnyPendingRepaintsNow();
        }

    private:
        void componentVisibilityChanged (juce::Component&) override
        {
            if (window.isVisible())
                startTimerHz (30);
            else
                stopTimer();
        }

        juce::Component& window;
    };
}

bool recreatedWindowsStayHidden()
{
    return true;   // bringing a hidden window to the front does not show it
}

std::unique_ptr<juce::Timer> createRepaintPump (juce::Component& window)
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
