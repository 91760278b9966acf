// The framework's X11 declarations (display, locking, its loaded Xlib functions).
#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include "QueuedEventPump.h"

#include "WindowPump.h"
#include "constants/Timings.h"

namespace platform
{

namespace
{
    class QueuedEventPump final : public WindowPump
    {
    public:
        explicit QueuedEventPump (juce::Component& windowToPump) : WindowPump (windowToPump, Timings::queuedEventPumpPeriod) {}

    private:
        void pump (juce::ComponentPeer& peer) override
        {
            auto* const display = juce::XWindowSystem::getInstance()->getDisplay();
            auto* const x = juce::X11Symbols::getInstance();

            if (display == nullptr)
                return;

            const juce::XWindowSystemUtilities::ScopedXLock lock;

            if (x->xEventsQueued (display, QueuedAlready) == 0)
                return;

            XEvent nudge {};
            nudge.xclient.type = ClientMessage;
            nudge.xclient.window = (::Window) peer.getNativeHandle();
            nudge.xclient.message_type = x->xInternAtom (display, "VANTREL_QUEUED_EVENTS", False);
            nudge.xclient.format = 32;
            x->xSendEvent (display, nudge.xclient.window, False, NoEventMask, &nudge);
            x->xFlush (display);
        }
    };
}

std::unique_ptr<juce::Timer> createQueuedEventPump (juce::Component& window)
{
    return std::make_unique<QueuedEventPump> (window);
}

} // namespace platform
