#pragma once

#include "CustomLookAndFeel.h"
#include "InstallerSettings.h"
#include "JobGuard.h"

#include <atomic>

namespace platform { class DownloadFolder; class StartedProgram; }

/** The window's content and the program's working logic: chooses the build of the setup tool,
    downloads it into a fresh folder in the temporary folder, watches the download, reports
    failures, starts the tool, waits for it and cleans up.
*/
class MainComponent final : public juce::Component,
                            public juce::Timer
{
public:
    explicit MainComponent (const InstallerSettings& settings);

    ~MainComponent() override;

    void paint (juce::Graphics& g) override;
    void resized() override;
    void timerCallback() override;

    // Read-only views for the window and for tests.
    const juce::String& getVariantKey() const noexcept     { return variantKey; }
    const juce::URL& getDownloadUrl() const noexcept       { return downloadUrl; }
    const juce::File& getTargetFile() const noexcept       { return targetFile; }
    bool hasDownloadTask() const;
    bool isShowingStatusText() const                       { return statusLabel.isShowing(); }
    juce::String getStatusText() const                     { return statusLabel.getText(); }

private:
    using Guard = JobGuard<MainComponent>;

    void showError (const juce::String& message);
    void cleanTarget();
    void deleteDownload();
    bool deleteRunFolder();
    void launchRetryJob();
    std::unique_ptr<juce::URL::DownloadTask> storeRetryResult (std::unique_ptr<juce::URL::DownloadTask> task);
    void handOver();
    void reportFailedStart();
    bool launchExitWatcher();
    void finishAfterTool();
    void releaseLookAndFeel();

    static bool isGoodDownload (const juce::URL::DownloadTask& task, juce::int64 size);

    const SignerList allowedSigners;
    juce::String variantKey;
    juce::URL downloadUrl;
    std::unique_ptr<juce::URL::DownloadTask> downloadTask;
    juce::CriticalSection taskLock;
    juce::File targetFile;
    std::shared_ptr<platform::DownloadFolder> downloadFolder;   // message thread (and a retry attempt's own copy): the only way to the download
    double progress = 0.0;
    juce::ProgressBar progressBar { progress };
    juce::Label statusLabel;
    std::unique_ptr<platform::StartedProgram> toolProcess;
    std::unique_ptr<CustomLookAndFeel> lookAndFeel;

    // One connection attempt at a time: overlapping attempts would write the same target file.
    std::atomic<bool> retryInProgress { false };
    const std::shared_ptr<Guard> guard = std::make_shared<Guard> (*this);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
