#include "MainComponent.h"

#include "platform/Platform.h"

MainComponent::MainComponent (const InstallerSettings& settings, DownloadMonitor::System& system)
    : monitor (settings, *this, system)
{
    addAndMakeVisible (progressBar);
    lookAndFeel = std::make_unique<CustomLookAndFeel>();
    progressBar.setLookAndFeel (lookAndFeel.get());

    setSize (300, 50);
    show (monitor.getView());
}

MainComponent::~MainComponent()
{
    stopTimer();
    releaseLookAndFeel();
}

//==============================================================================
void MainComponent::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xffffffff));
}

void MainComponent::resized()
{
    progressBar.setBounds (10, 10, 280, 25);
    statusLabel.setBounds (5, 10, 290, 30);
}

std::unique_ptr<juce::AccessibilityHandler> MainComponent::createAccessibilityHandler()
{
    // Only a frame for the bar or the red text: ignored, so that a screen reader goes from the
    // window's title straight to what the frame shows, with no nameless element between.
    return createIgnoredAccessibilityHandler (*this);
}

void MainComponent::timerCallback()
{
    monitor.tick (DownloadMonitor::Clock::now());
}

//==============================================================================
void MainComponent::show (const MonitorView& view)
{
    progress = view.progress;

    if (view.redText.isNotEmpty())
        showError (view.redText);
    else
        showProgress();

    if (view.hidden)
        hideForTool();

    const auto period = (int) view.tickPeriod.count();

    if (period == 0)
        stopTimer();
    else if (! isTimerRunning() || getTimerInterval() != period)
        startTimer (period);

    if (view.over && ! std::exchange (quitting, true))
    {
        releaseLookAndFeel();

        if (auto* app = juce::JUCEApplicationBase::getInstance())
            app->systemRequestedQuit();
    }
}

void MainComponent::showError (const juce::String& message)
{
    // Shown on every tick while the network stays down: only a text that appears or changes is
    // announced, so that a screen reader is not flooded.
    const auto isNewText = message != statusLabel.getText();

    if (progressBar.getParentComponent() == this)
        removeChildComponent (&progressBar);

    addAndMakeVisible (statusLabel, -1);
    statusLabel.setText (message, juce::dontSendNotification);
    statusLabel.setFont (juce::Font ("Microsoft YaHei", 16.0f, juce::Font::plain));
    statusLabel.setColour (juce::Label::textColourId, juce::Colour (0xffff0000));

    if (isNewText)
        juce::AccessibilityHandler::postAnnouncement (message, juce::AccessibilityHandler::AnnouncementPriority::high);
}

void MainComponent::showProgress()
{
    if (statusLabel.getParentComponent() != this)
        return;

    removeChildComponent (&statusLabel);
    addAndMakeVisible (progressBar);

    // Emptied, so that the red text is announced again should the network fail again.
    statusLabel.setText ({}, juce::dontSendNotification);
    juce::AccessibilityHandler::postAnnouncement (juce::String (juce::roundToInt (progress * 100.0)) + "%",
                                                  juce::AccessibilityHandler::AnnouncementPriority::medium);
}

void MainComponent::hideForTool()
{
    if (std::exchange (hidden, true))
        return;

    if (auto* window = findParentComponentOfClass<juce::DocumentWindow>())
        platform::hideWindowQuietly (*window);

    // Nothing is shown any more: this also stops the bar's 30 ms animation timer, which would
    // otherwise repaint a hidden window for as long as the tool runs.
    progressBar.setVisible (false);
}

void MainComponent::releaseLookAndFeel()
{
    if (lookAndFeel != nullptr)
    {
        progressBar.setLookAndFeel (nullptr);
        lookAndFeel.reset();
    }
}
