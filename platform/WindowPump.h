#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <chrono>

namespace platform
{

/** Something the system needs done for a window at a steady rate while the window is shown;
    it stops while the window is hidden, so that a waiting program does not wake for it.
*/
class WindowPump : public juce::Timer,
                   private juce::ComponentListener
{
public:
    WindowPump (juce::Component& windowToPump, std::chrono::milliseconds period)
        : window (windowToPump), periodMs ((int) period.count())
    {
        window.addComponentListener (this);
        componentVisibilityChanged (window);
    }

    ~WindowPump() override    { window.removeComponentListener (this); }

    void timerCallback() override
    {
        if (auto* peer = window.getPeer())
            pump (*peer);
    }

protected:
    virtual void pump (juce::ComponentPeer& peer) = 0;

private:
    void componentVisibilityChanged (juce::Component&) override
    {
        if (window.isVisible())
            startTimer (periodMs);
        else
            stopTimer();
    }

    juce::Component& window;
    const int periodMs;
};

} // namespace platform
