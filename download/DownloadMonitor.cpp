#include "DownloadMonitor.h"

#include "DownloadVariant.h"
#include "constants/Texts.h"
#include "constants/Timings.h"
#include "platform/BackgroundJobs.h"

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

    /** Opens the attempt's file only through the program's own hold on the per-run folder. */
    platform::DownloadOutputOpener openThrough (std::shared_ptr<platform::DownloadFolder> folder, juce::String name)
    {
        return [folder = std::move (folder), name = std::move (name)] (juce::int64 keep)
        {
            return keep == 0 ? folder->createFile (name) : folder->reopenFile (name, keep);
        };
    }

    class ProgramSystem final : public DownloadMonitor::System
    {
    public:
        std::shared_ptr<platform::DownloadFolder> makeRunFolder (juce::File& madeIn) override
        {
            // Made in the system's temporary folder where the user's cannot protect it.
            return platform::createProtectedDownloadFolder (juce::File::getSpecialLocation (juce::File::tempDirectory),
                                                            juce::Uuid().toString(), madeIn);
        }

        std::unique_ptr<platform::DownloadTask> startDownload (const juce::URL& url, const juce::File& target,
                                                               const platform::DownloadOutputOpener& openOutput,
                                                               const rules::DownloadResume& resume, platform::AttemptEnd& end) override
        {
            return platform::startDownload (url, target, openOutput, resume, &end);
        }

        bool launch (std::function<void()> job) override       { return platform::BackgroundJobs::launch (std::move (job)); }
        void post (std::function<void()> call) override        { juce::MessageManager::callAsync (std::move (call)); }
        void discard (std::unique_ptr<platform::DownloadTask> task) override    { platform::discardDownload (std::move (task)); }
        double drawJitter() override                          { return juce::Random::getSystemRandom().nextDouble(); }
    };
}

DownloadMonitor::System& DownloadMonitor::getSystem()
{
    static ProgramSystem programSystem;
    return programSystem;
}

DownloadMonitor::DownloadMonitor (const InstallerSettings& settings, View& viewToUse, System& systemToUse)
    : system (systemToUse), view (viewToUse), allowedSigners (settings.allowedSigners), stallWatch (Timings::idleTimeout),
      pacer (Timings::monitorPeriod, Timings::retryWaitCap, Timings::serverRetryLimit, [&sys = systemToUse] { return sys.drawJitter(); })
{
    variantKey = DownloadVariant::getVariantKey (settings);
    networkFailureText = DownloadVariant::getNetworkFailureText (variantKey);
    serverErrorText = DownloadVariant::getServerErrorText (variantKey);
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

        if (downloadFolder != nullptr)
        {
            platform::AttemptEnd end;
            downloadTask = system.startDownload (downloadUrl, targetFile, openThrough (downloadFolder, targetFile.getFileName()), {}, end);
        }
    }

    shown.tickPeriod = Timings::monitorPeriod;
}

DownloadMonitor::~DownloadMonitor()
{
    // No job may touch the monitor once it starts going; jobs are asked to stop, not awaited
    // beyond a moment (a job waiting for the message-thread lock gives up when asked).
    guard->release();
    guard->waitForJobsToEnd (Timings::inMilliseconds (Timings::jobStopWait));

    // A tool that still runs keeps its file and folder; it is left to run alone.
    const auto toolStarted = toolProcess != nullptr;
    toolProcess.reset();

    adoptArrival (lastTick);

    // Cancelled without waiting for the network.
    system.discard (std::move (downloadTask));

    // Whatever was downloaded goes with the folder: the folder is the elevated owner's, so the
    // user could never remove it, and no later run resumes it. A retry attempt that ends later
    // finds it gone and cannot write.
    if (! toolStarted)
        deleteDownloadBeforeClosing();

    downloadFolder.reset();
}

bool DownloadMonitor::hasDownloadTask() const
{
    const juce::ScopedLock lock (arrivalLock);
    return downloadTask != nullptr || arrivedTask != nullptr;
}

//==============================================================================
void DownloadMonitor::tick (Clock::time_point now)
{
    lastTick = now;
    step (now);
    publish();
}

void DownloadMonitor::publish()
{
    view.show (shown);
}

void DownloadMonitor::showRed (const juce::String& text)
{
    shown.redText = text;
}

void DownloadMonitor::step (Clock::time_point now)
{
    if (phase == Phase::toolRunning && pollsToolExit)   // handed over, and no exit watcher could be started
    {
        if (! toolProcess->isRunning())
            finishAfterTool();

        return;
    }

    if (phase != Phase::downloading)
        return;

    adoptArrival (now);

    // Looked at once: a task that finishes during the tick is seen finished on the next one,
    // never half way through this one.
    const auto finished = downloadTask != nullptr && downloadTask->isFinished();

    // A transfer cut off or stalled is the network's failure, not the server's answer: what it
    // received is kept for the next attempt to resume from.
    if (downloadTask != nullptr && ! finished)
        stallWatch.note (downloadTask->getLengthDownloaded(), now);

    if (downloadTask != nullptr && (finished ? downloadTask->wasCutOff() : stallWatch.hasStalled (now)))
        keepForResume (finished, now);

    if (downloadTask == nullptr)
    {
        if (firstAttemptPending)
            return;   // still connecting for the first time: nothing has failed yet

        showRed (networkFailureText);

        // Attempts that keep failing are spaced out (RetryPacer); the text and the line stay.
        if (! attemptInProgress && pacer.mayAttempt (now))
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
        shown.progress = (double) downloadTask->getLengthDownloaded() / (double) downloadTask->getTotalLength();

        if (downloadTask->getLengthDownloaded() > attemptFrom)
            pacer.succeeded();   // bytes came: the network works again

        // Bytes arrive again after a network failure: the bar replaces its text.
        if (stallWatch.hasMoved())
            showRed ({});

        log (T::downloading);
        return;
    }

    judge();
}

void DownloadMonitor::keepForResume (bool finished, Clock::time_point now)
{
    const auto received = downloadTask->getLengthDownloaded();

    // A transfer that brought something is asked to go on at once; one that brought nothing is a
    // failed attempt like a refused connection.
    if (received > attemptFrom)
        pacer.succeeded();
    else
        pacer.failed (now);

    logMonitor ((finished ? T::downloadCutOff : T::downloadStalled) + juce::String (received));

    resumeFrom = { received, downloadTask->getTotalLength(), downloadTask->getValidators(), downloadTask->getAddress() };

    if (! resumeFrom.canResume())
        logMonitor (received > 0 ? T::fromZeroNothingSafe : T::fromZeroNothingReceived);

    // Cancelled without waiting for the network; the next attempt may find its file still open
    // for a moment, and then fails like a network failure.
    system.discard (std::move (downloadTask));
}

void DownloadMonitor::judge()
{
    // Locked first, then judged and checked through the lock, so that the file judged and
    // checked is the file started (its path may lead elsewhere by now).
    const auto locked = downloadFolder != nullptr && downloadFolder->lockFile (targetFile.getFileName());
    const auto size = locked ? downloadFolder->getLockedFileSize() : 0;

    logMonitor (T::downloadCompleted + juce::String (downloadTask->statusCode()) + T::fileSize + juce::String (size));
    phase = Phase::judged;
    shown.tickPeriod = {};

    // The tool's own signature, whoever signed it, has the last word on its bytes: a file changed
    // on the server between two parts of one download (same length, same validators) passes every
    // HTTP check and fails this one. Such a file is downloaded again from zero, once.
    const auto signedBytes = locked ? downloadFolder->checkSignedBytes() : rules::SignedBytes::unsigned_;

    if (signedBytes == rules::SignedBytes::changed && ! downloadedAgainForSignature)
    {
        logMonitor (T::fromZeroSignedBytesChanged);
        downloadAgainFromZero();
        return;
    }

    // A chunked body whose end the server would not confirm is whole when its signature says so.
    const auto wholeBySignature = signedBytes == rules::SignedBytes::intact && downloadTask->isEndUntold();

    if (downloadTask->getRefusal().isNotEmpty())
        logMonitor ((wholeBySignature ? T::wholeBySignature : T::answerRefused) + downloadTask->getRefusal());

    if (signedBytes == rules::SignedBytes::changed)
    {
        logMonitor (T::signatureCheckFailed + juce::String (Texts::Signature::changedSinceSigning));
        reportFailedStart();
        return;
    }

    if (locked && isGoodDownload (*downloadTask, size, wholeBySignature))
    {
        // When the build names the tool's signers, only a file they signed is started.
        if (! allowedSigners.isEmpty())
        {
            const auto checked = downloadFolder->checkSignature ([this] (const platform::SignerIdentity& signer)
                                                                 { return allowedSigners.allows (signer); });

            if (checked.failed())
            {
                logMonitor (T::signatureCheckFailed + checked.getErrorMessage());
                reportFailedStart();
                return;
            }
        }

        handOver();
        return;
    }

    logMonitor (T::errorShown);
    showRed (serverErrorText);
    deleteRunFolder();
}

void DownloadMonitor::downloadAgainFromZero()
{
    downloadedAgainForSignature = true;
    system.discard (std::move (downloadTask));
    resumeFrom = {};
    firstAttemptPending = true;   // nothing failed on the network: no red text while it connects
    phase = Phase::downloading;
    shown.tickPeriod = Timings::monitorPeriod;
    remakeRunFolder();
    launchAttempt();
}

bool DownloadMonitor::isGoodDownload (const platform::DownloadTask& task, juce::int64 size, bool wholeBySignature)
{
    // Status 200 and a non-empty file are not enough: a download cut short must never be started
    // with administrator rights, so the task must report no error and, where the server announced
    // a length, the file must have exactly that length (a body whose end cannot be told, or that
    // is not the file's bytes, was refused before it was written). A resumed download is good the
    // same way: its last answer continued the kept bytes exactly, and the file holds the complete length.
    // A chunked body whose end could not be told is whole only by its signature.
    const auto announced = task.getTotalLength();

    return (task.statusCode() == 200 || (task.statusCode() == 206 && task.isResumed()))
        && size > 0
        && (! task.hadError() || wholeBySignature)
        && (announced < 0 || size == announced);
}

//==============================================================================
void DownloadMonitor::makeRunFolder()
{
    // A fresh folder name each time, never one used before: another process (in the system's
    // temporary folder, any user's) could have made a folder at a name the log has told.
    const auto fileName = targetFile.getFileName();
    juce::File runFolder;

    // The target path starts as a directory, which the download start replaces with the file.
    // When no folder can be made, nothing is made in its place: the download fails like a
    // network failure and the retries make another.
    downloadFolder = system.makeRunFolder (runFolder);
    targetFile = runFolder.getChildFile (fileName);

    if (downloadFolder != nullptr)
        downloadFolder->createPlaceholderFolder (fileName);

    log (T::downloadTo + targetFile.getFullPathName());
}

void DownloadMonitor::remakeRunFolder()
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
void DownloadMonitor::deleteDownload (std::chrono::milliseconds patience)
{
    if (downloadFolder == nullptr)
        return;

    const auto folder = downloadFolder;

    if (deleteRunFolder (patience) && folder->wasDeleted())
        logMonitor (T::temporaryFileDeleted);
    else
        logMonitor (T::temporaryFileNotDeleted);
}

/** Deletes the per-run folder as the program closes, on a job waited for no longer than the
    closing bound, since another process can hold a delete up for as long as it likes (an oplock
    it never lets go of) and the window must close all the same. What has not gone by then is
    logged as not deleted, and the job is left to end alone.
*/
void DownloadMonitor::deleteDownloadBeforeClosing()
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

    if (! system.launch (deleteAll))
        deleteAll();

    if (! outcome->done.wait (Timings::inMilliseconds (Timings::closingDeletionWait + Timings::closingDeletionLastTry)))
        outcome->tell (false);
}

bool DownloadMonitor::deleteRunFolder (std::chrono::milliseconds patience)
{
    if (downloadFolder != nullptr && ! downloadFolder->removeWithin (patience))
        return false;

    downloadFolder.reset();
    return true;
}

//==============================================================================
bool DownloadMonitor::launchAttempt()
{
    attemptInProgress = true;
    launchedFrom = resumeFrom.canResume() ? resumeFrom.received : 0;

    // Copies: the job may outlive the monitor (the System outlives both).
    auto job = [g = guard, &sys = system, url = downloadUrl, target = targetFile, folder = downloadFolder, resume = resumeFrom]() mutable
    {
        platform::AttemptEnd end;
        auto task = folder != nullptr ? sys.startDownload (url, target, openThrough (folder, target.getFileName()), resume, end)
                                      : nullptr;

        if (! g->withOwner ([&] (DownloadMonitor& owner)
                            {
                                if (task != nullptr && task->getStartNote().isNotEmpty())
                                    logMonitor (task->getStartNote());

                                // A refused answer is a network failure: the log says why.
                                if (task == nullptr && end.refusal.failed())
                                    logMonitor (T::connectionRefused + end.refusal.getErrorMessage());

                                owner.takeArrival (std::move (task), end);
                            }))
        {
            // Closed while this attempt connected: nothing was downloaded, nothing may stay. The
            // monitor's removal may have found this attempt's file still open.
            task.reset();

            if (folder != nullptr)
                folder->remove();
        }
    };

    const auto launched = system.launch (Guard::guarded (guard, std::move (job)));

    if (! launched)
        attemptInProgress = false;

    return launched;
}

void DownloadMonitor::takeArrival (std::unique_ptr<platform::DownloadTask> task, const platform::AttemptEnd& end)
{
    // The end of the download (whole, cut or refused) is looked at the moment it comes, not at
    // the next tick: the tool starts as soon as its file is whole, a cut's rest is asked for at once.
    if (task != nullptr)
    {
        task->whenFinished ([g = guard, &sys = system, finishedTask = task.get()]
        {
            sys.post ([g, finishedTask]
            {
                if (auto* owner = g->getOwnerOnItsThread())
                    owner->lookAtFinished (*finishedTask);
            });
        });
    }

    const juce::ScopedLock lock (arrivalLock);
    jassert (arrivedTask == nullptr);   // one attempt at a time
    arrivedTask = std::move (task);
    arrivedEnd = end;
    attemptArrived = true;
}

void DownloadMonitor::adoptArrival (Clock::time_point now)
{
    std::unique_ptr<platform::DownloadTask> arrived;
    platform::AttemptEnd end;

    {
        const juce::ScopedLock lock (arrivalLock);

        if (! attemptArrived)
            return;

        attemptArrived = false;
        end = arrivedEnd;
        arrived = std::move (arrivedTask);
        std::swap (downloadTask, arrived);
    }

    stallWatch.restart();
    attemptInProgress = false;
    firstAttemptPending = false;
    attemptFrom = launchedFrom;

    // An attempt replaces no running task (a new one starts only once the last has gone).
    system.discard (std::move (arrived));

    if (downloadTask != nullptr)
    {
        restRefusals = 0;
        return;
    }

    pacer.failed (now, std::chrono::seconds (juce::jmax (juce::int64 { 0 }, end.retryAfterSeconds)));

    // A cache or CDN that refuses every ranged request (a miss on a large object) may well send
    // the whole file: after two refusals in a row the kept part is let go and the file asked for plainly.
    restRefusals = end.busyStatus != 0 ? restRefusals + 1 : 0;

    if (restRefusals >= 2 && resumeFrom.canResume())
    {
        logMonitor (T::fromZeroRestRefused + juce::String (end.busyStatus) + ")");
        resumeFrom = {};
        restRefusals = 0;
    }
}

void DownloadMonitor::lookAtFinished (const platform::DownloadTask& finishedTask)
{
    adoptArrival (lastTick);

    // A tick may have looked at it first: then it is gone (cut) or judged.
    if (phase != Phase::downloading || downloadTask.get() != &finishedTask)
        return;

    // Between ticks: timed as of the last one (only a failed attempt's wait reads the time here).
    step (lastTick);
    publish();
}

//==============================================================================
void DownloadMonitor::handOver()
{
    // The file is there: it is locked.
    shown.progress = 1.0;
    logMonitor (T::toolDownloadSuccessful);

    auto start = downloadFolder->startLockedFile();
    toolProcess = std::move (start.program);

    if (toolProcess != nullptr)
    {
        phase = Phase::toolRunning;
        shown.hidden = true;
        publish();

        // Hidden, the program must still end when the tool does: without a thread of its own,
        // the monitor's tick watches the tool instead.
        if (! launchExitWatcher())
        {
            pollsToolExit = true;
            shown.tickPeriod = Timings::toolExitPoll;
        }

        return;
    }

    if (start.refusal.failed())
        logMonitor (T::startRefused + start.refusal.getErrorMessage());

    reportFailedStart();
}

void DownloadMonitor::reportFailedStart()
{
    logMonitor (T::cannotOpenTool);
    showRed (serverErrorText);
    deleteDownload();
}

bool DownloadMonitor::launchExitWatcher()
{
    // The watcher holds the tool's process with the monitor, so that it can wait on it outside
    // every lock: its end is seen the moment it comes.
    return system.launch (Guard::guarded (guard, [g = guard, &sys = system, tool = toolProcess]
    {
        while (! tool->waitForExit (Timings::inMilliseconds (Timings::toolExitWaitSlice)))
            if (g->waitForRelease (0))
                return;   // the program is quitting some other way

        // The rest happens on the monitor's thread, with the monitor alive or not at all.
        sys.post ([g]
        {
            if (auto* owner = g->getOwnerOnItsThread())
                owner->finishAfterTool();
        });
    }));
}

void DownloadMonitor::finishAfterTool()
{
    if (phase != Phase::toolRunning)
        return;

    // The tool that has just exited may hold its own file a moment longer on a busy machine (seen
    // under Wine: the folder was left); the window is hidden, nothing waits on this thread.
    toolProcess.reset();   // it has ended: nothing is kept of it
    deleteDownload (Timings::pendingDeletionWait);
    downloadFolder.reset();   // tried once, with its patience: closing does not try again
    logMonitor (T::quit);

    phase = Phase::over;
    shown.tickPeriod = {};
    shown.over = true;
    publish();
}
