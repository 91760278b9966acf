#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

namespace platform
{

/** The framework handles X events when the connection's socket turns readable; events that its
    own calls (a repaint's sync) have already read off the socket wait in Xlib's queue until
    something else arrives, so a window that has gone quiet can miss the window manager's close
    request for good. While the window is shown, this looks at the queue ten times a second and,
    when something waits there, sends the window a message of no meaning: its arrival makes the
    framework take everything queued.
*/
std::unique_ptr<juce::Timer> createQueuedEventPump (juce::Component& window);

} // namespace platform
