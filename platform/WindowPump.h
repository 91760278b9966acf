#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

namespace platform
{

/** Something the system needs done for a window at a steady rate while the window is shown;
    it stops while the window is hidden, so that a waiting program does not wake for it.
*/
class WindowPump : public juce::Timer,
                   private juce::ComponentListener
{
public:
    WindowPump (juce::Component& windowToPump, int timesPerSecond)
        : window (windowToPump), rate (timesPerSecond)
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
            startTimerHz (rate);
        else
            stopTimer();
    }

    juce::Component& window;
    const int rate;
};

} // namespace platform
