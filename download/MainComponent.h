#pragma once

#include "CustomLookAndFeel.h"
#include "InstallerSettings.h"
#include "JobGuard.h"
#include "StallWatch.h"
#include "platform/DownloadTask.h"

#include <atomic>
#include <chrono>

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
    double getProgress() const noexcept                    { return progress; }
    juce::String getStatusText() const                     { return statusLabel.getText(); }

private:
    using Guard = JobGuard<MainComponent>;

    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;
    void showError (const juce::String& message);
    void makeRunFolder();
    void remakeRunFolder();
    void deleteDownload (std::chrono::milliseconds patience = {});
    void deleteDownloadBeforeClosing();
    bool deleteRunFolder (std::chrono::milliseconds patience = {});
    bool launchAttempt();
    std::unique_ptr<platform::DownloadTask> storeAttempt (std::unique_ptr<platform::DownloadTask> task);
    void lookAtFinished (const platform::DownloadTask& finishedTask);
    bool hasStalledOrBeenCutOff (bool finished, StallWatch::Clock::time_point now) const;
    void showProgress();
    void keepForResume (bool finished);
    void handOver();
    void reportFailedStart();
    bool launchExitWatcher();
    void finishAfterTool();
    void releaseLookAndFeel();

    static bool isGoodDownload (const platform::DownloadTask& task, juce::int64 size);

    const SignerList allowedSigners;
    juce::String variantKey;
    juce::URL downloadUrl;
    std::unique_ptr<platform::DownloadTask> downloadTask;
    const platform::DownloadTask* judgedTask = nullptr;   // the one whose end was judged (message thread; identity only)
    juce::CriticalSection taskLock;
    rules::DownloadResume resumeFrom;   // what a download cut off left for the next attempt (message thread)

    // Watching the running task for a stall (with taskLock held).
    StallWatch stallWatch;
    juce::File targetFile;
    std::shared_ptr<platform::DownloadFolder> downloadFolder;   // message thread (and a retry attempt's own copy): the only way to the download
    double progress = 0.0;
    juce::ProgressBar progressBar { progress };
    juce::Label statusLabel;
    std::shared_ptr<platform::StartedProgram> toolProcess;   // with the exit watcher, which only waits on it
    std::unique_ptr<CustomLookAndFeel> lookAndFeel;

    // One connection attempt at a time: overlapping attempts would write the same target file.
    // The first runs on a job too, and until it has ended no failure is shown.
    std::atomic<bool> attemptInProgress { false }, firstAttemptPending { true };
    const std::shared_ptr<Guard> guard = std::make_shared<Guard> (*this);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
