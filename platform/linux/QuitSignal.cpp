#include "platform/Platform.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace platform
{

namespace
{
    // The handler may only write to a pipe; the message loop reads the other end.
    int quitPipe[2] = { -1, -1 };

    void onQuitSignal (int)
    {
        const auto savedErrno = errno;
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write (quitPipe[1], &byte, 1);
        errno = savedErrno;
    }
}

void handleSystemQuitRequests()
{
    if (quitPipe[0] >= 0 || ::pipe2 (quitPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;

    juce::LinuxEventLoop::registerFdCallback (quitPipe[0], [] (int fd)
    {
        char bytes[16];

        while (::read (fd, bytes, sizeof (bytes)) > 0) {}

        if (auto* app = juce::JUCEApplicationBase::getInstance())
            app->systemRequestedQuit();
    });

    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset (&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction (SIGTERM, &action, nullptr);
}

} // namespace platform
