#include "MainComponent.h"

#include "DownloadVariant.h"
#include "constants/Texts.h"
#include "constants/Timings.h"
#include "platform/BackgroundJobs.h"
#include "platform/Platform.h"

#include <atomic>

namespace
{
    namespace T = Texts::Log;

    void log (const juce::String& line)
    {
        juce::Logger::writeToLog (line);
    }

    /** The monitor's own lines carry its tag. */
    void logMonitor (const juce::String& line)
    {
        log (T::monitorTag + line);
    }

    /** Starts an attempt that writes only through the program's own hold on the per-run folder:
        without the folder no attempt writes anything anywhere, and it fails like a network failure.
    */
    std::unique_ptr<platform::DownloadTask> startDownloadInto (const std::shared_ptr<platform::DownloadFolder>& folder,
                                                               const juce::URL& url, const juce::File& target,
                                                               const rules::DownloadResume& resume,
                                                               juce::String* refusal = nullptr)
    {
        if (folder == nullptr)
            return nullptr;

        const auto name = target.getFileName();

        return platform::startDownload (url, target, [folder, name] (juce::int64 keep)
        {
            return keep == 0 ? folder->createFile (name) : folder->reopenFile (name, keep);
        }, resume, refusal);
    }
}

MainComponent::MainComponent (const InstallerSettings& settings)
    : allowedSigners (settings.allowedSigners), stallWatch (Timings::idleTimeout)
{
    variantKey = DownloadVariant::getVariantKey (settings);
    log (T::osIsNow + variantKey);

    const auto address = DownloadVariant::getDownloadAddress (variantKey, settings);
    downloadUrl = juce::URL (address);
    log (T::downloadUrl + address);

    // A fresh name per run, so that two runs never share a target.
    targetFile = juce::File (juce::Uuid().toString() + ".exe");
    makeRunFolder();
    log (T::connecting);

    // The first attempt runs on a job like every retry, so that the window shows at once
    // whatever the network does; without a thread for it, it runs here.
    if (! launchAttempt())
    {
        firstAttemptPending = false;
        downloadTask = startDownloadInto (downloadFolder, downloadUrl, targetFile, {});
    }

    startTimer (Timings::inMilliseconds (Timings::monitorPeriod));

    addAndMakeVisible (progressBar);
    lookAndFeel = std::make_unique<CustomLookAndFeel>();
    progressBar.setLookAndFeel (lookAndFeel.get());

    setSize (300, 50);
}

MainComponent::~MainComponent()
{
    // No job may touch the component once it starts going; jobs are asked to stop, not awaited
    // beyond a moment (a job waiting for the message-thread lock gives up when asked).
    guard->release();
    guard->waitForJobsToEnd (Timings::inMilliseconds (Timings::jobStopWait));
    stopTimer();

    releaseLookAndFeel();

    // A tool that still runs keeps its file and folder; it is left to run alone.
    const auto toolStarted = toolProcess != nullptr;
    toolProcess.reset();

    std::unique_ptr<platform::DownloadTask> task;

    {
        const juce::ScopedLock lock (taskLock);
        task = std::move (downloadTask);
    }

    // Cancelled without waiting for the network.
    platform::discardDownload (std::move (task));

    // Whatever was downloaded goes with the folder: the folder is the elevated owner's, so the
    // user could never remove it, and no later run resumes it. A retry attempt that ends later
    // finds it gone and cannot write.
    if (! toolStarted)
        deleteDownloadBeforeClosing();

    downloadFolder.reset();
}

bool MainComponent::hasDownloadTask() const
{
    const juce::ScopedLock lock (taskLock);
    return downloadTask != nullptr;
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

//==============================================================================
void MainComponent::timerCallback()
{
    if (toolProcess != nullptr)   // handed over, and no exit watcher could be started
    {
        if (! toolProcess->isRunning())
        {
            stopTimer();
            finishAfterTool();
        }

        return;
    }

    const juce::ScopedLock lock (taskLock);

    // Looked at once: a task that finishes during the tick is seen finished on the next one,
    // never half way through this one.
    const auto finished = downloadTask != nullptr && downloadTask->isFinished();

    // A transfer cut off or stalled is the network's failure, not the server's answer: what it
    // received is kept for the next attempt to resume from.
    const auto now = StallWatch::Clock::now();

    if (downloadTask != nullptr && ! finished)
        stallWatch.note (downloadTask->getLengthDownloaded(), now);

    if (downloadTask != nullptr && hasStalledOrBeenCutOff (finished, now))
        keepForResume (finished);

    if (downloadTask == nullptr)
    {
        if (firstAttemptPending)
            return;   // still connecting for the first time: nothing has failed yet

        showError (DownloadVariant::getNetworkFailureText (variantKey));

        if (! attemptInProgress)
        {
            if (! resumeFrom.canResume())
                remakeRunFolder();

            launchAttempt();
        }

        log (T::reconnecting);
        return;
    }

    if (! finished)
    {
        // No guard: an unknown length (-1) or an empty one gives a value the bar shows without fill or text.
        // A resumed task counts the whole file, the kept bytes included.
        progress = (double) downloadTask->getLengthDownloaded() / (double) downloadTask->getTotalLength();

        // Bytes arrive again after a network failure: the bar replaces its text.
        if (stallWatch.hasMoved())
            showProgress();

        log (T::downloading);
        return;
    }

    // Locked first, then judged and checked through the lock, so that the file judged and
    // checked is the file started (its path may lead elsewhere by now).
    const auto locked = downloadFolder != nullptr && downloadFolder->lockFile (targetFile.getFileName());
    const auto size = locked ? downloadFolder->getLockedFileSize() : 0;

    logMonitor (T::downloadCompleted + juce::String (downloadTask->statusCode()) + T::fileSize + juce::String (size));
    stopTimer();
    judgedTask = downloadTask.get();

    if (downloadTask->getRefusal().isNotEmpty())
        logMonitor (T::answerRefused + downloadTask->getRefusal());

    if (locked && isGoodDownload (*downloadTask, size))
    {
        // When the build names the tool's signers, only a file they signed is started.
        if (! allowedSigners.isEmpty())
        {
            const auto refusal = downloadFolder->checkSignature ([this] (const platform::SignerIdentity& signer)
                                                                 { return allowedSigners.allows (signer); });

            if (refusal.isNotEmpty())
            {
                logMonitor (T::signatureCheckFailed + refusal);
                reportFailedStart();
                return;
            }
        }

        handOver();
        return;
    }

    logMonitor (T::errorShown);
    showError (DownloadVariant::getServerErrorText (variantKey));
    deleteRunFolder();
}

bool MainComponent::hasStalledOrBeenCutOff (bool finished, StallWatch::Clock::time_point now) const
{
    return finished ? downloadTask->wasCutOff() : stallWatch.hasStalled (now);
}

void MainComponent::keepForResume (bool finished)
{
    const auto received = downloadTask->getLengthDownloaded();
    logMonitor ((finished ? T::downloadCutOff : T::downloadStalled) + juce::String (received));

    resumeFrom = { received, downloadTask->getTotalLength(), downloadTask->getValidators(), downloadTask->getAddress() };

    if (! resumeFrom.canResume())
        logMonitor (received > 0 ? T::fromZeroNothingSafe : T::fromZeroNothingReceived);

    // Cancelled without waiting for the network; the next attempt may find its file still open
    // for a moment, and then fails like a network failure.
    platform::discardDownload (std::move (downloadTask));
}

bool MainComponent::isGoodDownload (const platform::DownloadTask& task, juce::int64 size)
{
    // Status 200 and a non-empty file are not enough: a download cut short must never be started
    // with administrator rights, so the task must report no error and, where the server announced
    // a length, the file must have exactly that length (a body whose end cannot be told, or that
    // is not the file's bytes, was refused before it was written). A resumed download is good the
    // same way: its last answer continued the kept bytes exactly, and the file holds the complete length.
    const auto announced = task.getTotalLength();

    return (task.statusCode() == 200 || (task.statusCode() == 206 && task.isResumed()))
        && size > 0
        && ! task.hadError()
        && (announced < 0 || size == announced);
}

void MainComponent::showError (const juce::String& message)
{
    // Called on every tick while the network stays down: only a text that appears or changes is
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

void MainComponent::makeRunFolder()
{
    // A fresh folder name each time, never one used before: another process (in the system's
    // temporary folder, any user's) could have made a folder at a name the log has told.
    const auto fileName = targetFile.getFileName();
    juce::File runFolder;

    // Made in the system's temporary folder where the user's cannot protect it. The target path
    // starts as a directory, which the download start replaces with the file. When no folder can
    // be made, nothing is made in its place: the download fails like a network failure and the
    // retries make another.
    downloadFolder = platform::createProtectedDownloadFolder (juce::File::getSpecialLocation (juce::File::tempDirectory),
                                                              juce::Uuid().toString(), runFolder);
    targetFile = runFolder.getChildFile (fileName);

    if (downloadFolder != nullptr)
        downloadFolder->createPlaceholderFolder (fileName);

    log (T::downloadTo + targetFile.getFullPathName());
}

void MainComponent::remakeRunFolder()
{
    // A folder that cannot be emptied yet (an attempt it replaced may still be closing its file)
    // stays held and is used again: its file is replaced by the next attempt.
    if (deleteRunFolder())
        makeRunFolder();
}

/** Deletes the per-run folder with whatever is in it (the tool may have renamed or deleted its
    own file, or left others: the user cannot remove the folder), and says in the log whether it went.
    What cannot be deleted yet is tried again for up to `patience`.
*/
void MainComponent::deleteDownload (std::chrono::milliseconds patience)
{
    if (downloadFolder == nullptr)
        return;

    const auto folder = downloadFolder;

    if (deleteRunFolder (patience) && folder->wasDeleted())
        logMonitor (T::temporaryFileDeleted);
    else
        logMonitor (T::temporaryFileNotDeleted);
}

/** Deletes the per-run folder as the window closes, on a job waited for no longer than the
    closing bound, since another process can hold a delete up for as long as it likes (an oplock
    it never lets go of) and the window must close all the same. What has not gone by then is
    logged as not deleted, and the job is left to end alone.
*/
void MainComponent::deleteDownloadBeforeClosing()
{
    if (downloadFolder == nullptr)
        return;

    struct Outcome
    {
        std::atomic<bool> told { false };
        juce::WaitableEvent done;

        void tell (bool deleted)
        {
            if (! told.exchange (true))
                logMonitor (deleted ? T::temporaryFileDeleted : T::temporaryFileNotDeleted);
        }
    };

    const auto outcome = std::make_shared<Outcome>();
    const auto folder = std::move (downloadFolder);
    const auto deleteAll = [folder, outcome]
    {
        outcome->tell (folder->removeWithin (Timings::closingDeletionWait) && folder->wasDeleted());
        outcome->done.signal();
    };

    if (! platform::BackgroundJobs::launch (deleteAll))
        deleteAll();

    if (! outcome->done.wait (Timings::inMilliseconds (Timings::closingDeletionWait + Timings::closingDeletionLastTry)))
        outcome->tell (false);
}

bool MainComponent::deleteRunFolder (std::chrono::milliseconds patience)
{
    if (downloadFolder != nullptr && ! downloadFolder->removeWithin (patience))
        return false;

    downloadFolder.reset();
    return true;
}

bool MainComponent::launchAttempt()
{
    attemptInProgress = true;

    // Copies: the job may outlive the component.
    const auto url = downloadUrl;
    const auto target = targetFile;

    const auto launched = Guard::launch (guard, [g = guard, url, target, folder = downloadFolder, resume = resumeFrom]() mutable
    {
        juce::String refusal;
        auto task = startDownloadInto (folder, url, target, resume, &refusal);
        std::unique_ptr<platform::DownloadTask> replaced;

        if (! g->withOwner ([&] (MainComponent& owner)
                            {
                                if (task != nullptr && task->getStartNote().isNotEmpty())
                                    logMonitor (task->getStartNote());

                                // A refused answer is a network failure: the log says why.
                                if (task == nullptr && refusal.isNotEmpty())
                                    logMonitor (T::connectionRefused + refusal);

                                replaced = owner.storeAttempt (std::move (task));
                            }))
        {
            // Closed while this attempt connected: nothing was downloaded, nothing may stay. The
            // component's removal may have found this attempt's file still open.
            task.reset();

            if (folder != nullptr)
                folder->remove();
        }

        // Whatever is left here (a task replaced) is deleted outside every lock: deleting a
        // running task cancels it and waits for its thread.
    });

    if (! launched)
        attemptInProgress = false;

    return launched;
}

std::unique_ptr<platform::DownloadTask> MainComponent::storeAttempt (std::unique_ptr<platform::DownloadTask> task)
{
    // The end of the download (whole, cut or refused) is looked at the moment it comes, not at
    // the next tick: the tool starts as soon as its file is whole, a cut's rest is asked for at once.
    if (task != nullptr)
    {
        task->whenFinished ([g = guard, finishedTask = task.get()]
        {
            juce::MessageManager::callAsync ([g, finishedTask]
            {
                g->withOwner ([finishedTask] (MainComponent& owner) { owner.lookAtFinished (*finishedTask); });
            });
        });
    }

    {
        const juce::ScopedLock lock (taskLock);
        std::swap (downloadTask, task);
        stallWatch.restart();
    }

    attemptInProgress = false;
    firstAttemptPending = false;
    return task;
}

void MainComponent::lookAtFinished (const platform::DownloadTask& finishedTask)
{
    {
        const juce::ScopedLock lock (taskLock);

        // A tick may have looked at it first: then it is gone (cut) or judged.
        if (downloadTask.get() != &finishedTask || judgedTask == &finishedTask)
            return;
    }

    timerCallback();
}

//==============================================================================
void MainComponent::handOver()
{
    // The file is there: it is locked.
    progress = 1.0;
    logMonitor (T::toolDownloadSuccessful);

    auto start = downloadFolder->startLockedFile();
    toolProcess = std::move (start.program);

    if (toolProcess != nullptr)
    {
        if (auto* window = findParentComponentOfClass<juce::DocumentWindow>())
            platform::hideWindowQuietly (*window);

        // Nothing is shown any more: this also stops the bar's 30 ms animation timer, which
        // would otherwise repaint a hidden window for as long as the tool runs.
        progressBar.setVisible (false);

        // Hidden, the program must still end when the tool does: without a thread of its own,
        // the component's timer watches the tool instead.
        if (! launchExitWatcher())
            startTimer (Timings::inMilliseconds (Timings::toolExitPoll));

        return;
    }

    if (start.refusal.isNotEmpty())
        logMonitor (T::startRefused + start.refusal);

    reportFailedStart();
}

void MainComponent::reportFailedStart()
{
    logMonitor (T::cannotOpenTool);
    showError (DownloadVariant::getServerErrorText (variantKey));
    deleteDownload();
}

bool MainComponent::launchExitWatcher()
{
    // The watcher holds the tool's process with the component, so that it can wait on it
    // outside every lock: its end is seen the moment it comes.
    return Guard::launch (guard, [g = guard, tool = toolProcess]
    {
        while (! tool->waitForExit (Timings::inMilliseconds (Timings::toolExitWaitSlice)))
            if (g->waitForRelease (0))
                return;   // the program is quitting some other way

        // The rest happens on the message thread, with the component alive or not at all: after a
        // quit the call is dropped, and the component going away first makes it do nothing.
        juce::MessageManager::callAsync ([g] { g->withOwner ([] (MainComponent& owner) { owner.finishAfterTool(); }); });
    });
}

void MainComponent::finishAfterTool()
{
    // The tool that has just exited may hold its own file a moment longer on a busy machine (seen
    // under Wine: the folder was left); the window is hidden, nothing waits on this thread.
    toolProcess.reset();   // it has ended: nothing is kept of it
    deleteDownload (Timings::pendingDeletionWait);
    downloadFolder.reset();   // tried once, with its patience: closing does not try again
    releaseLookAndFeel();
    logMonitor (T::quit);

    if (auto* app = juce::JUCEApplicationBase::getInstance())
        app->systemRequestedQuit();
}

void MainComponent::releaseLookAndFeel()
{
    if (lookAndFeel != nullptr)
    {
        progressBar.setLookAndFeel (nullptr);
        lookAndFeel.reset();
    }
}
