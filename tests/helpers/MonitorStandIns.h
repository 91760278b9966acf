#pragma once

#include "download/DownloadMonitor.h"

#include <gtest/gtest.h>

#include <deque>

/** Stand-ins for what the download monitor asks of the system: nothing happens on its own. An
    attempt gives the answer the test queued, jobs and posted calls wait until the test runs them,
    and every act (of the monitor on the system, and of the view) goes to one journal, in order.
*/
namespace MonitorStandIns
{
    /** A download task whose progress and end the test sets. */
    class Task final : public platform::DownloadTask
    {
    public:
        Task (int status, juce::int64 length, juce::String etag = "\"v1\"", juce::String from = "https://host/file.exe")
        {
            httpCode = status;
            contentLength = length;
            validators.etag = std::move (etag);
            address = std::move (from);
        }

        Task& resumedAnswer()                          { resumed = true; return *this; }
        Task& refusedBecause (juce::String why)        { refusal = std::move (why); return *this; }
        Task& endNotConfirmed (juce::String why)       { endUntold = true; return refusedBecause (std::move (why)); }
        Task& noting (juce::String note)               { startNote = std::move (note); return *this; }

        void receive (juce::int64 total)               { publishDownloaded (total); }
        void end (bool failed = false, bool cut = false)    { publishFinished (failed, cut); }
    };

    class System;

    class Program final : public platform::StartedProgram
    {
    public:
        explicit Program (System& s) : system (s) {}
        bool isRunning() override;
        bool waitForExit (int) override;

    private:
        System& system;
        int waits = 0;
    };

    class Folder final : public platform::DownloadFolder
    {
    public:
        Folder (System& s, juce::String n) : system (s), name (std::move (n)) {}

        bool createPlaceholderFolder (const juce::String&) override    { return true; }
        std::unique_ptr<juce::OutputStream> createFile (const juce::String&) override;
        std::unique_ptr<juce::OutputStream> reopenFile (const juce::String&, juce::int64 keep) override;
        bool holdsFile (const juce::String&) override                   { return true; }
        bool lockFile (const juce::String&) override;
        juce::int64 getLockedFileSize() override;
        juce::Result checkSignature (const platform::SignerFilter&) override;
        rules::SignedBytes checkSignedBytes() override;
        Start startLockedFile() override;
        bool remove() override;
        bool wasDeleted() override                                       { return true; }

    private:
        System& system;
        const juce::String name;
        bool locked = false;
    };

    class System final : public DownloadMonitor::System
    {
    public:
        juce::StringArray journal;

        // What the next attempts get, in order: a task, or none with a refusal (empty: no answer).
        struct Answer { std::unique_ptr<Task> task; juce::String refusal; juce::int64 retryAfter = -1; int busyStatus = 0; };
        std::deque<Answer> answers;
        std::vector<rules::DownloadResume> asked;   // each attempt's resume, in order

        bool threadsAvailable = true, jobsRunAtOnce = false;
        bool lockable = true, removable = true, toolRunning = true;
        juce::int64 fileSize = -1;   // the locked file's size; -1: what the last task received
        juce::String signatureRefusal, startRefusal;
        std::vector<rules::SignedBytes> signedBytes;   // what each locked file's signature says, in order; none left: unsigned

        Task* lastTask = nullptr;   // the last task handed out (kept alive by the stand-in until the end)
        int foldersMade = 0;

        Task& answer (std::unique_ptr<Task> task)
        {
            auto& added = *task;
            answers.push_back ({ std::move (task), {} });
            return added;
        }

        void refuse (juce::String why = {})    { answers.push_back ({ nullptr, std::move (why) }); }
        void busy (juce::int64 retryAfterSeconds = -1)    { answers.push_back ({ nullptr, {}, retryAfterSeconds, 503 }); }

        /** Runs the jobs launched so far, then the calls posted so far. */
        void runJobs()
        {
            auto queued = std::exchange (jobs, {});

            for (auto& job : queued)
                job();
        }

        void runPosted()
        {
            auto queued = std::exchange (posted, {});

            for (auto& call : queued)
                call();
        }

        std::shared_ptr<platform::DownloadFolder> makeRunFolder (juce::File& madeIn) override
        {
            const auto name = "/run" + juce::String (++foldersMade);
            journal.add ("folder " + name);
            madeIn = juce::File (name);
            return std::make_shared<Folder> (*this, name);
        }

        std::unique_ptr<platform::DownloadTask> startDownload (const juce::URL&, const juce::File& target,
                                                               const platform::DownloadOutputOpener& openOutput,
                                                               const rules::DownloadResume& resume, platform::AttemptEnd& end) override
        {
            journal.add ("attempt " + target.getParentDirectory().getFullPathName() + " from " + juce::String (resume.canResume() ? resume.received : 0));
            asked.push_back (resume);

            if (answers.empty())
                return nullptr;

            auto next = std::move (answers.front());
            answers.pop_front();
            if (next.refusal.isNotEmpty())
                end.refusal = juce::Result::fail (next.refusal);

            end.retryAfterSeconds = next.retryAfter;
            end.busyStatus = next.busyStatus;

            if (next.task != nullptr && openOutput (resume.canResume() ? resume.received : 0) == nullptr)
                return nullptr;

            lastTask = next.task.get();
            return std::move (next.task);
        }

        bool launch (std::function<void()> job) override
        {
            if (! threadsAvailable)
                return false;

            if (jobsRunAtOnce)
                job();
            else
                jobs.push_back (std::move (job));

            return true;
        }

        void post (std::function<void()> call) override    { posted.push_back (std::move (call)); }
        double drawJitter() override                        { return jitter; }

        double jitter = 0.999;   // each wait near its whole

        void discard (std::unique_ptr<platform::DownloadTask> task) override
        {
            if (task != nullptr)
            {
                journal.add ("discard");
                let.push_back (std::move (task));   // kept, so that a test's pointer stays good
            }
        }

    private:
        std::vector<std::function<void()>> jobs, posted;
        std::vector<std::unique_ptr<platform::DownloadTask>> let;
    };

    inline bool Program::isRunning()    { return system.toolRunning; }

    inline bool Program::waitForExit (int)
    {
        // Never a real wait: a watcher run while the tool still runs would spin, so it is failed.
        if (system.toolRunning && ++waits > 100)
        {
            ADD_FAILURE() << "the exit watcher was run while the tool still runs";
            return true;
        }

        return ! system.toolRunning;
    }

    inline std::unique_ptr<juce::OutputStream> Folder::createFile (const juce::String&)
    {
        system.journal.add ("create " + name);
        return std::make_unique<juce::MemoryOutputStream>();
    }

    inline std::unique_ptr<juce::OutputStream> Folder::reopenFile (const juce::String&, juce::int64 keep)
    {
        system.journal.add ("reopen " + name + " at " + juce::String (keep));
        return std::make_unique<juce::MemoryOutputStream>();
    }

    inline bool Folder::lockFile (const juce::String&)
    {
        system.journal.add ("lock");
        return locked = system.lockable;
    }

    inline juce::int64 Folder::getLockedFileSize()
    {
        if (! locked)
            return -1;

        return system.fileSize >= 0 ? system.fileSize : system.lastTask->getLengthDownloaded();
    }

    inline juce::Result Folder::checkSignature (const platform::SignerFilter& isAllowed)
    {
        system.journal.add ("signature");

        if (system.signatureRefusal.isNotEmpty())
            return juce::Result::fail (system.signatureRefusal);

        return isAllowed ({ "Keldmark Ltd", "Example CA", {}, {} }) ? juce::Result::ok() : juce::Result::fail ("signer not allowed");
    }

    inline rules::SignedBytes Folder::checkSignedBytes()
    {
        system.journal.add ("signed bytes");

        if (system.signedBytes.empty())
            return rules::SignedBytes::unsigned_;

        const auto said = system.signedBytes.front();
        system.signedBytes.erase (system.signedBytes.begin());
        return said;
    }

    inline platform::DownloadFolder::Start Folder::startLockedFile()
    {
        system.journal.add ("start");

        if (! locked)
            return {};

        if (system.startRefusal.isNotEmpty())
            return { nullptr, juce::Result::fail (system.startRefusal) };

        return { std::make_unique<Program> (system) };
    }

    inline bool Folder::remove()
    {
        system.journal.add ("remove " + name);
        return system.removable;
    }
}
