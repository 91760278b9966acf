// The Linux build's download layer must mean what the Windows HTTP stack means: no answer gives
// no task; any answer gives one; the body lands in the file; nothing hangs.

#include "helpers/Scratch.h"
#include "helpers/TestMirror.h"
#include "platform/Platform.h"
#include "platform/linux/CurlDownloadTask.h"

#include <gtest/gtest.h>

using platform::CurlDownloadTask;
using platform::DownloadTimeouts;

namespace
{
    const DownloadTimeouts shortTimeouts { 3, 2 };

    /** The download's file in a per-run folder, written through the folder's own openers as the
        program writes it: a new file, or the kept bytes reopened. */
    struct Target
    {
        Scratch scratch;
        std::shared_ptr<platform::DownloadFolder> folder = platform::createDownloadFolder (scratch.root.getChildFile ("run"));
        juce::File file = scratch.root.getChildFile ("run/download.exe");

        std::unique_ptr<platform::DownloadTask> start (const juce::String& url, const rules::DownloadResume& resume = {},
                                                       DownloadTimeouts timeouts = shortTimeouts) const
        {
            return CurlDownloadTask::start (juce::URL (url), file, [f = folder, name = file.getFileName()] (juce::int64 keep)
            {
                return keep == 0 ? f->createFile (name) : f->reopenFile (name, keep);
            }, resume, timeouts);
        }
    };

    bool waitUntilFinished (const juce::URL::DownloadTask& task)
    {
        return waitFor ([&task] { return task.isFinished(); });
    }

    juce::MemoryBlock contentOf (const juce::File& file)
    {
        juce::MemoryBlock data;
        file.loadFileAsData (data);
        return data;
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
        { "chunked-cut",     {},                                Outcome::failed,   200, false },
        { "silent",          {},                                Outcome::noTask,   0,   false },
        { "redirect-loop",   {},                                Outcome::refused,  302, false },
        { "redirect-http",   {},                                Outcome::refused,  302, false },
        { "endless-headers", {},                                Outcome::noTask,   0,   false },
        // Heads libcurl refuses itself: the server's final answer, as WinINet's are, never a retry.
        { "length-not-a-number",  {},                           Outcome::refused,  200, false },
        { "header-without-colon", {},                           Outcome::refused,  200, false },
        { "redirect-space",  {},                                Outcome::complete, 200, true },
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

        const auto task = target.start (mirror.getUrl());

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
            // The half the mirror sent before it dropped or stopped, kept.
            EXPECT_TRUE (task->hadError());
            EXPECT_TRUE (contentOf (target.file) == juce::MemoryBlock (payload.getBytes().getData(), payload.getBytes().getSize() / 2));
        }
        else
        {
            EXPECT_FALSE (task->hadError());

            if (c.status == 200)
            {
                EXPECT_TRUE (contentOf (target.file) == payload.getBytes());
                EXPECT_EQ (task->getTotalLength(), c.announcesLength ? (juce::int64) payload.getBytes().getSize() : -1);
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

    const struct { const char* server; const char* validator; juce::int64 received, complete; bool gone, resumed; const char* note; } cases[] = {
        { "normal",          nullptr,      kept,      size,      false, true,  "Download resumed from byte 100000" },
        { "normal",          "\"other\"",  kept,      size,      false, false, "Download started again from zero: the file changed on the server" },
        { "--ignore-ranges", nullptr,      kept,      size,      false, false, "Download started again from zero: the server sent the whole file" },
        { "normal",          nullptr,      kept,      size + 1,  false, false, "Download started again from zero: the part sent does not continue the file" },
        { "normal",          nullptr,      size + 10, size + 20, false, false, "Download started again from zero: the server cannot send the rest (416)" },
        { "normal",          nullptr,      kept,      size,      true,  false, "Download started again from zero: the kept part of the file is gone" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (juce::String (c.server) + " " + juce::String (c.received) + " of " + juce::String (c.complete)
                      + (c.gone ? " gone" : ""));
        TestMirror mirror (payload.getFile(), juce::String (c.server) == "normal" ? juce::StringArray() : juce::StringArray { c.server });
        Target target;

        const auto first = target.start (mirror.getUrl());
        ASSERT_TRUE (first != nullptr && waitUntilFinished (*first));
        ASSERT_TRUE (first->getValidators().ifRange().isNotEmpty());

        // What an earlier attempt left: the file's first bytes (when it had that many), or nothing.
        const auto left = (size_t) juce::jmin (c.received, size);
        ASSERT_TRUE (target.folder->createFile (target.file.getFileName())->write (payload.getBytes().getData(), left));

        if (c.gone)
        {
            ASSERT_TRUE (target.file.deleteFile());
        }

        auto validators = first->getValidators();

        if (c.validator != nullptr)
            validators.etag = c.validator;

        const auto task = target.start (mirror.getUrl(), { c.received, c.complete, validators, first->getAddress() });

        ASSERT_TRUE (task != nullptr && waitUntilFinished (*task));
        EXPECT_EQ (task->isResumed(), c.resumed);
        EXPECT_EQ (task->statusCode(), c.resumed ? 206 : 200);
        EXPECT_TRUE (task->getStartNote().startsWith (c.note)) << task->getStartNote();
        EXPECT_EQ (task->getTotalLength(), size);
        EXPECT_EQ (task->getLengthDownloaded(), size);
        EXPECT_TRUE (contentOf (target.file) == payload.getBytes());
    }
}

TEST (CurlDownloadTask, NoServerAnEmptyAddressOrAnUnwritableTargetGiveNoTask)
{
    Target target;

    EXPECT_EQ (target.start ("https://localhost:1/VantrelInstall_winCN.exe"), nullptr);
    EXPECT_TRUE (target.file.existsAsFile());
    EXPECT_EQ (target.start (""), nullptr);

    const TestPayload payload (1000);
    TestMirror mirror (payload.getFile());
    ASSERT_TRUE (target.folder->remove());   // nothing can be made in it any more
    EXPECT_EQ (target.start (mirror.getUrl()), nullptr);
    EXPECT_TRUE (mirror.getRequests().isEmpty());   // the target is checked before connecting
}

TEST (CurlDownloadTask, AConnectionAttemptGivesUpWhenItsThreadIsAskedToStop)
{
    const TestPayload payload (1000);
    TestMirror mirror (payload.getFile(), { "--mode", "silent" });
    Target target;

    struct Attempt final : public juce::Thread
    {
        Attempt (const Target& t, juce::String u) : Thread ("attempt"), target (t), url (std::move (u)) {}
        void run() override { task = target.start (url, {}, {}); }
        const Target& target;
        const juce::String url;
        std::unique_ptr<juce::URL::DownloadTask> task;
    };

    Attempt attempt (target, mirror.getUrl());
    attempt.startThread();
    ASSERT_TRUE (waitFor ([&mirror] { return ! mirror.getRequests().isEmpty(); }));

    // Default 30-second time-outs: the stop request ends the attempt well before them.
    ASSERT_EQ (mirror.getRequests().size(), 1);
    EXPECT_TRUE (attempt.stopThread (10000));
    EXPECT_EQ (attempt.task, nullptr);
}

TEST (CurlDownloadTask, DeletingARunningDownloadCancelsIt)
{
    // 40 s at this rate: deleting it ends it well before, with the bytes that came kept.
    const TestPayload payload (4 * 1024 * 1024);
    TestMirror mirror (payload.getFile(), { "--mode", "slow", "--rate", "100000" });
    Target target;

    auto task = target.start (mirror.getUrl());
    ASSERT_NE (task, nullptr);
    ASSERT_TRUE (waitFor ([&task] { return task->getLengthDownloaded() > 0; }));
    EXPECT_FALSE (task->isFinished());

    const auto before = juce::Time::getMillisecondCounter();
    task.reset();
    EXPECT_LT (juce::Time::getMillisecondCounter() - before, 10000u);
    EXPECT_LT (target.file.getSize(), (juce::int64) payload.getBytes().getSize());
}
