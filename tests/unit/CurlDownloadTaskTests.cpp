// The Linux build's download layer must mean what the Windows HTTP stack means: no answer gives
// no task; any answer gives one; the body lands in the file; nothing hangs.

#include "helpers/TestMirror.h"
#include "platform/linux/CurlDownloadTask.h"

#include <gtest/gtest.h>

using platform::CurlDownloadTask;
using platform::DownloadTimeouts;

namespace
{
    const DownloadTimeouts shortTimeouts { 3, 2 };

    struct Target
    {
        juce::TemporaryFile folder;
        juce::File file = folder.getFile().getChildFile ("download.exe");
        Target()    { folder.getFile().createDirectory(); }
        ~Target()   { folder.getFile().deleteRecursively(); }
    };

    bool waitUntilFinished (const juce::URL::DownloadTask& task, int timeoutMs = 20000)
    {
        for (int waited = 0; ! task.isFinished() && waited < timeoutMs; waited += 20)
            juce::Thread::sleep (20);

        return task.isFinished();
    }

    enum class Outcome { noTask, complete, failed, refused };

    struct ServerCase
    {
        const char* mode;
        juce::StringArray extraArguments;
        Outcome outcome;
        int status;               // when there is a task
        bool announcesLength;
    };
}

TEST (CurlDownloadTask, MeansWhatTheWindowsStackMeansForEachServerBehaviour)
{
    const TestPayload payload (300 * 1024);

    const ServerCase cases[] = {
        { "normal",          {},                                Outcome::complete, 200, true },
        { "chunked",         {},                                Outcome::complete, 200, false },
        { "redirect",        {},                                Outcome::complete, 200, true },
        { "404",             {},                                Outcome::complete, 404, true },
        { "500",             {},                                Outcome::complete, 500, true },
        { "truncated",       {},                                Outcome::failed,   200, true },
        { "stall",           {},                                Outcome::failed,   200, true },
        { "silent",          {},                                Outcome::noTask,   0,   false },
        { "redirect-loop",   {},                                Outcome::refused,  302, false },
        { "redirect-http",   {},                                Outcome::refused,  302, false },
        { "endless-headers", {},                                Outcome::noTask,   0,   false },
        { "normal",          { "--cert-kind", "untrusted" },    Outcome::noTask,   0,   false },
        { "normal",          { "--cert-kind", "expired" },      Outcome::noTask,   0,   false },
        { "normal",          { "--cert-kind", "wronghost" },    Outcome::noTask,   0,   false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.mode) + " " + c.extraArguments.joinIntoString (" "));
        auto arguments = c.extraArguments;
        arguments.addArray ({ "--mode", c.mode });
        TestMirror mirror (payload.getFile(), arguments);
        Target target;

        const auto task = CurlDownloadTask::start (juce::URL (mirror.getUrl()), target.file, shortTimeouts);

        if (c.outcome == Outcome::noTask)
        {
            EXPECT_EQ (task, nullptr);
            EXPECT_EQ (target.file.getSize(), 0);   // opened before connecting, as on Windows
            continue;
        }

        ASSERT_NE (task, nullptr);
        ASSERT_TRUE (waitUntilFinished (*task));
        EXPECT_EQ (task->statusCode(), c.status);
        EXPECT_EQ (task->getTargetLocation(), target.file);
        EXPECT_EQ (task->getTotalLength() >= 0, c.announcesLength);
        EXPECT_EQ (task->getLengthDownloaded(), target.file.getSize());

        EXPECT_EQ (task->wasCutOff(), c.outcome == Outcome::failed);   // the network's failure, never a server's answer
        EXPECT_EQ (task->getRefusal().isNotEmpty(), c.outcome == Outcome::refused);

        if (c.outcome == Outcome::refused)
        {
            EXPECT_TRUE (task->hadError());
            EXPECT_EQ (target.file.getSize(), 0);
        }
        else if (c.outcome == Outcome::failed)
        {
            EXPECT_TRUE (task->hadError());
            EXPECT_LT (target.file.getSize(), (juce::int64) payload.getBytes().getSize());
        }
        else
        {
            EXPECT_FALSE (task->hadError());

            if (c.status == 200)
            {
                juce::MemoryBlock written;
                target.file.loadFileAsData (written);
                EXPECT_TRUE (written == payload.getBytes());
                EXPECT_EQ (task->getTotalLength(), c.announcesLength ? (juce::int64) written.getSize() : -1);
            }
        }
    }
}

TEST (CurlDownloadTask, ResumesOnlyWhereTheSameFileStopped)
{
    // A first whole download gives the validator; then the file is cut back and resumed against
    // servers that continue it, send it whole, or send a part that does not fit.
    const TestPayload payload (300 * 1024);
    const auto size = (juce::int64) payload.getBytes().getSize();
    constexpr juce::int64 kept = 100000;

    const struct { const char* server; const char* validator; juce::int64 received, complete; bool resumed; const char* note; } cases[] = {
        { "normal",          nullptr,      kept,      size,      true,  "Download resumed from byte 100000" },
        { "normal",          "\"other\"",  kept,      size,      false, "Download started again from zero: the file changed on the server" },
        { "--ignore-ranges", nullptr,      kept,      size,      false, "Download started again from zero: the server sent the whole file" },
        { "normal",          nullptr,      kept,      size + 1,  false, "Download started again from zero: the part sent does not continue the file" },
        { "normal",          nullptr,      size + 10, size + 20, false, "Download started again from zero: the server cannot send the rest (416)" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.server) + " " + juce::String (c.received) + " of " + juce::String (c.complete));
        TestMirror mirror (payload.getFile(), juce::String (c.server) == "normal" ? juce::StringArray() : juce::StringArray { c.server });
        Target target;

        const auto first = CurlDownloadTask::start (juce::URL (mirror.getUrl()), target.file, shortTimeouts);
        ASSERT_TRUE (first != nullptr && waitUntilFinished (*first));
        ASSERT_TRUE (first->getValidators().ifRange().isNotEmpty());

        // What an earlier attempt left: the file's first bytes (when it had that many).
        ASSERT_TRUE (target.file.replaceWithData (payload.getBytes().getData(), (size_t) juce::jmin (c.received, size)));
        auto validators = first->getValidators();

        if (c.validator != nullptr)
            validators.etag = c.validator;

        const rules::DownloadResume resume { c.received, c.complete, validators, first->getAddress() };
        const auto task = CurlDownloadTask::start (juce::URL (mirror.getUrl()), target.file, shortTimeouts, resume);

        ASSERT_TRUE (task != nullptr && waitUntilFinished (*task));
        EXPECT_EQ (task->isResumed(), c.resumed);
        EXPECT_EQ (task->statusCode(), c.resumed ? 206 : 200);
        EXPECT_TRUE (task->getStartNote().startsWith (c.note)) << task->getStartNote();
        EXPECT_EQ (task->getTotalLength(), size);
        EXPECT_EQ (task->getLengthDownloaded(), size);

        juce::MemoryBlock written;
        target.file.loadFileAsData (written);
        EXPECT_TRUE (written == payload.getBytes());
    }
}

TEST (CurlDownloadTask, NoServerAnEmptyAddressOrAnUnwritableTargetGiveNoTask)
{
    Target target;

    EXPECT_EQ (CurlDownloadTask::start (juce::URL ("https://localhost:1/VantrelInstall_winCN.exe"), target.file, shortTimeouts), nullptr);
    EXPECT_TRUE (target.file.existsAsFile());
    EXPECT_EQ (CurlDownloadTask::start (juce::URL(), target.file, shortTimeouts), nullptr);

    const TestPayload payload (1000);
    TestMirror mirror (payload.getFile());
    const auto missingFolder = target.folder.getFile().getChildFile ("missing/download.exe");
    EXPECT_EQ (CurlDownloadTask::start (juce::URL (mirror.getUrl()), missingFolder, shortTimeouts), nullptr);
    EXPECT_TRUE (mirror.getRequests().isEmpty());   // the target is checked before connecting
}

TEST (CurlDownloadTask, AConnectionAttemptGivesUpWhenItsThreadIsAskedToStop)
{
    const TestPayload payload (1000);
    TestMirror mirror (payload.getFile(), { "--mode", "silent" });
    Target target;

    struct Attempt final : public juce::Thread
    {
        Attempt (juce::URL u, juce::File f) : Thread ("attempt"), url (std::move (u)), file (std::move (f)) {}
        void run() override { task = CurlDownloadTask::start (url, file); }
        juce::URL url; juce::File file;
        std::unique_ptr<juce::URL::DownloadTask> task;
    };

    Attempt attempt (juce::URL (mirror.getUrl()), target.file);
    attempt.startThread();

    for (int waited = 0; mirror.getRequests().isEmpty() && waited < 5000; waited += 20)
        juce::Thread::sleep (20);

    // Default 30-second time-outs: only the stop request can end the attempt this soon.
    ASSERT_EQ (mirror.getRequests().size(), 1);
    EXPECT_TRUE (attempt.stopThread (2000));
    EXPECT_EQ (attempt.task, nullptr);
}

TEST (CurlDownloadTask, DeletingARunningDownloadCancelsItPromptly)
{
    const TestPayload payload (4 * 1024 * 1024);
    TestMirror mirror (payload.getFile(), { "--mode", "slow", "--rate", "100000" });
    Target target;

    auto task = CurlDownloadTask::start (juce::URL (mirror.getUrl()), target.file, shortTimeouts);
    ASSERT_NE (task, nullptr);
    juce::Thread::sleep (300);
    EXPECT_FALSE (task->isFinished());
    EXPECT_GT (task->getLengthDownloaded(), 0);

    const auto before = juce::Time::getMillisecondCounter();
    task.reset();
    EXPECT_LT (juce::Time::getMillisecondCounter() - before, 1000u);   // a hang bound, not a speed goal
    EXPECT_LT (target.file.getSize(), (juce::int64) payload.getBytes().getSize());
}
