#pragma once

#include "InstallerSettings.h"
#include "JobGuard.h"
#include "RetryPacer.h"
#include "StallWatch.h"
#include "platform/Platform.h"

#include <chrono>

/** What the window shows of the run, as the monitor last said. */
struct MonitorView
{
    double progress = 0.0;          // the bar's value: the share of the whole file received
    juce::String redText;           // shown in place of the bar; empty: the bar shows
    bool hidden = false;            // the tool runs: the window is hidden for good
    std::chrono::milliseconds tickPeriod { 0 };   // how often the monitor wants its tick; zero: no more ticks
    bool over = false;              // the run has ended: the program quits
};

/** Chooses the build of the setup tool, downloads it into the per-run folder, watches the
    download, judges its end, starts the tool, waits for it and cleans up: the program's work,
    without a window. It is driven by ticks at a time it is given and by the download's word that
    it has ended, and says what happened through the log and a MonitorView. It lives on one
    thread (the message thread); only the attempts and the tool's exit watcher run on jobs, which
    hand their results back through the System it was given.
*/
class DownloadMonitor
{
public:
    using Clock = StallWatch::Clock;

    /** Where the monitor's view goes each time it changes. */
    class View
    {
    public:
        virtual ~View() = default;
        virtual void show (const MonitorView& view) = 0;
    };

    /** What the monitor asks of the system: the platform floor in the program, a stand-in in tests. */
    class System
    {
    public:
        virtual ~System() = default;

        /** A new per-run folder (platform::createProtectedDownloadFolder in the temporary folder
            under a fresh name), null when none could be made; `madeIn` is set to its path.
        */
        virtual std::shared_ptr<platform::DownloadFolder> makeRunFolder (juce::File& madeIn) = 0;

        /** platform::startDownload, with `end` saying what an attempt without a task came to. Called on a job. */
        virtual std::unique_ptr<platform::DownloadTask> startDownload (const juce::URL& url, const juce::File& target,
                                                                       const platform::DownloadOutputOpener& openOutput,
                                                                       const rules::DownloadResume& resume, platform::AttemptEnd& end) = 0;

        /** Runs `job` on a thread of its own; false when none can be started. */
        virtual bool launch (std::function<void()> job) = 0;

        /** Calls `call` on the monitor's thread, later. */
        virtual void post (std::function<void()> call) = 0;

        /** platform::discardDownload. */
        virtual void discard (std::unique_ptr<platform::DownloadTask> task) = 0;

        /** A number in [0, 1), for the jitter of the waits between failed attempts. */
        virtual double drawJitter() = 0;
    };

    /** The program's own System. */
    static System& getSystem();

    /** Logs the run's first lines, makes the per-run folder and starts the first attempt. */
    DownloadMonitor (const InstallerSettings& settings, View& view, System& system = getSystem());

    /** Closes in whatever phase the run is: the attempt let go, the per-run folder deleted
        unless the tool runs.
    */
    ~DownloadMonitor();

    /** The monitor's tick at `now`: watches the transfer, retries, judges a finished download. */
    void tick (Clock::time_point now);

    const juce::String& getVariantKey() const noexcept     { return variantKey; }
    const juce::URL& getDownloadUrl() const noexcept       { return downloadUrl; }
    const juce::File& getTargetFile() const noexcept       { return targetFile; }
    const MonitorView& getView() const noexcept            { return shown; }
    bool hasDownloadTask() const;

private:
    using Guard = JobGuard<DownloadMonitor>;

    enum class Phase { downloading, judged, toolRunning, over };

    void step (Clock::time_point now);
    void publish();
    void showRed (const juce::String& text);
    void adoptArrival (Clock::time_point now);
    void takeArrival (std::unique_ptr<platform::DownloadTask> task, const platform::AttemptEnd& end);
    void lookAtFinished (const platform::DownloadTask& finishedTask);
    void keepForResume (bool finished, Clock::time_point now);
    void judge();
    void downloadAgainFromZero();
    void handOver();
    void reportFailedStart();
    bool launchAttempt();
    bool launchExitWatcher();
    void finishAfterTool();
    void makeRunFolder();
    void remakeRunFolder();
    void deleteDownload (std::chrono::milliseconds patience = {});
    void deleteDownloadBeforeClosing();
    bool deleteRunFolder (std::chrono::milliseconds patience = {});

    static bool isGoodDownload (const platform::DownloadTask& task, juce::int64 size, bool wholeBySignature);

    System& system;
    View& view;
    const SignerList allowedSigners;
    juce::String variantKey, networkFailureText, serverErrorText;
    juce::URL downloadUrl;
    juce::File targetFile;
    std::shared_ptr<platform::DownloadFolder> downloadFolder;   // the only way to the download (an attempt holds its own copy)

    Phase phase = Phase::downloading;
    MonitorView shown;
    std::unique_ptr<platform::DownloadTask> downloadTask;
    rules::DownloadResume resumeFrom;   // what a download cut off left for the next attempt
    StallWatch stallWatch;
    RetryPacer pacer;
    Clock::time_point lastTick;           // the time of the last tick, for what happens between ticks
    juce::int64 launchedFrom = 0, attemptFrom = 0;   // the byte the last attempt launched, and the running one, start from
    std::shared_ptr<platform::StartedProgram> toolProcess;   // with the exit watcher, which only waits on it
    bool pollsToolExit = false;
    bool downloadedAgainForSignature = false;   // a file whose signature did not match its bytes is downloaded again once

    // One connection attempt at a time: overlapping attempts would write the same target file.
    // The first runs on a job too, and until it has ended no failure is shown.
    bool attemptInProgress = false, firstAttemptPending = true;

    // An attempt's task, handed over by its job and taken on the monitor's thread.
    mutable juce::CriticalSection arrivalLock;
    std::unique_ptr<platform::DownloadTask> arrivedTask;
    bool attemptArrived = false;
    platform::AttemptEnd arrivedEnd;
    int restRefusals = 0;   // ranged requests refused for now in a row (5xx, 429)

    const std::shared_ptr<Guard> guard = std::make_shared<Guard> (*this);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DownloadMonitor)
};
