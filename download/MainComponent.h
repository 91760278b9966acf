#pragma once

#include "CustomLookAndFeel.h"
#include "DownloadMonitor.h"

/** The window's content: the progress bar, or the red text in its place, drawn as the download
    monitor says; its timer is the monitor's tick. Hides the window while the tool runs, and asks
    the program to quit when the run is over.
*/
class MainComponent final : public juce::Component,
                            public juce::Timer,
                            private DownloadMonitor::View
{
public:
    explicit MainComponent (const InstallerSettings& settings, DownloadMonitor::System& system = DownloadMonitor::getSystem());

    ~MainComponent() override;

    void paint (juce::Graphics& g) override;
    void resized() override;
    void timerCallback() override;

    // Read-only views for the window and for tests.
    const DownloadMonitor& getMonitor() const noexcept     { return monitor; }
    bool isShowingStatusText() const                       { return statusLabel.isShowing(); }
    double getProgress() const noexcept                    { return progress; }
    juce::String getStatusText() const                     { return statusLabel.getText(); }

private:
    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;
    void show (const MonitorView& view) override;
    void showError (const juce::String& message);
    void showProgress();
    void hideForTool();
    void releaseLookAndFeel();

    double progress = 0.0;
    juce::ProgressBar progressBar { progress };
    juce::Label statusLabel;
    std::unique_ptr<CustomLookAndFeel> lookAndFeel;
    bool hidden = false, quitting = false;
    DownloadMonitor monitor;   // last: it shows itself through the members above from its first line

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
