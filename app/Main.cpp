#include "BuildSettings.h"
#include "RuntimeLog.h"
#include "constants/Texts.h"
#include "constants/Timings.h"
#include "download/MainComponent.h"
#include "platform/BackgroundJobs.h"
#include "platform/Platform.h"

#include <cstdio>

class InstallerApplication final : public juce::JUCEApplication
{
public:
    InstallerApplication() = default;

    const juce::String getApplicationName() override       { return Texts::Shown::windowTitle; }
    const juce::String getApplicationVersion() override    { return VANTREL_VERSION; }
    bool moreThanOneInstanceAllowed() override             { return true; }

    void initialise (const juce::String&) override
    {
        RuntimeLog::install();

        if (! platform::hasDisplay())
        {
            std::fprintf (stderr, "%s\n", Texts::Printed::noDisplay);
            setApplicationReturnValue (1);
            quit();
            return;
        }

        platform::handleSystemQuitRequests();
        defaultLookAndFeel = platform::createDefaultLookAndFeel();

        if (defaultLookAndFeel != nullptr)
            juce::LookAndFeel::setDefaultLookAndFeel (defaultLookAndFeel.get());

        mainWindow = std::make_unique<MainWindow> (getApplicationName());
        windowPump = platform::createWindowPump (*mainWindow);
    }

    void shutdown() override
    {
        windowPump = nullptr;
        mainWindow = nullptr;

        if (defaultLookAndFeel != nullptr)
        {
            juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
            defaultLookAndFeel = nullptr;
        }

        // What follows tears down the framework, the HTTP stack's libraries and the C++ run time.
        // A job that could not stop in time (a connection attempt deep in a TLS handshake, on a
        // busy machine) would run on into that teardown and crash: end without it instead.
        if (! platform::BackgroundJobs::stopAll (Timings::inMilliseconds (Timings::jobExitWait)))
            platform::BackgroundJobs::endProcessWithoutTeardown (getApplicationReturnValue());
    }

    void anotherInstanceStarted (const juce::String&) override {}

    void systemRequestedQuit() override
    {
        quit();
    }

    /** The one window: shows the MainComponent and turns its close button into a quit request. */
    class MainWindow final : public juce::DocumentWindow
    {
    public:
        explicit MainWindow (const juce::String& name)
            : DocumentWindow (name,
                              juce::Desktop::getInstance().getDefaultLookAndFeel()
                                  .findColour (juce::ResizableWindow::backgroundColourId),
                              DocumentWindow::allButtons,
                              platform::recreatedWindowsStayHidden())
        {
            setUsingNativeTitleBar (true);
            setContentOwned (new MainComponent (BuildSettings::get()), true);
            setResizable (true, true);
            allowOwnSize();
            centreWithSize (getWidth(), getHeight());

            if (! isOnDesktop())
                addToDesktop();   // once, at its final size and place

            setVisible (true);
        }

        void closeButtonPressed() override
        {
            juce::JUCEApplication::getInstance()->systemRequestedQuit();
        }

    private:
        /** The framework's windows may not be made smaller than 128 x 128, more than our 50
            pixels' height. A window manager that applies that limit (on a resize, or on showing
            the window when the limit reaches it first) grows the window to 300 x 128 or so. */
        void allowOwnSize()
        {
            if (const auto* limits = getConstrainer())
                setResizeLimits (juce::jmin (limits->getMinimumWidth(), getWidth()),
                                 juce::jmin (limits->getMinimumHeight(), getHeight()),
                                 limits->getMaximumWidth(), limits->getMaximumHeight());
        }

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindow)
    };

private:
    std::unique_ptr<juce::LookAndFeel> defaultLookAndFeel;
    std::unique_ptr<MainWindow> mainWindow;
    std::unique_ptr<juce::Timer> windowPump;
};

START_JUCE_APPLICATION (InstallerApplication)
