#include "download/DownloadMonitor.h"
#include "constants/Texts.h"
#include "helpers/JuceTestEnvironment.h"
#include "helpers/MonitorStandIns.h"
#include "helpers/TestSettings.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using MonitorStandIns::Task;

namespace
{
    const juce::String networkText (Texts::Shown::networkFailureEn), serverText (Texts::Shown::serverErrorEn);

    juce::String tagged (const char* line)    { return juce::String ("<timerCallback> ") + line; }

    /** One run of the monitor with the stand-in system and a clock of the test's own. */
    struct MonitorRun final : public DownloadMonitor::View
    {
        MonitorStandIns::System system;
        DownloadMonitor::Clock::time_point now { 1h };
        std::unique_ptr<DownloadMonitor> monitor;
        MonitorView last;
        juce::String file;
        juce::StringArray logged;

        ~MonitorRun() override    { close(); }

        void start (const juce::String& signers = {})
        {
            CapturingLogger::get().takeLines();
            monitor = std::make_unique<DownloadMonitor> (settingsAt ("host", "Windows 10", "en", SignerList::parse (signers)),
                                                         *this, system);
            file = monitor->getTargetFile().getFileName();
            CapturingLogger::get().takeLines();   // the start lines: see the first row
        }

        /** The jobs launched so far run, the calls they posted are made, then the tick comes `after` later. */
        void tick (std::chrono::milliseconds after = 500ms)
        {
            settle();
            now += after;
            monitor->tick (now);
        }

        void settle()
        {
            system.runJobs();
            system.runPosted();
        }

        void close()
        {
            system.jobsRunAtOnce = true;   // the closing deletion's job, at once
            monitor.reset();
        }

        juce::StringArray lines()
        {
            for (auto line : CapturingLogger::get().takeLines())
                logged.add (line.replace (file, "<file>"));

            return logged;
        }

    private:
        void show (const MonitorView& view) override
        {
            if (view.hidden && ! last.hidden)
                system.journal.add ("hide");

            if (view.over && ! last.over)
                system.journal.add ("over");

            last = view;
        }
    };

    /** A task answered and taken: the first tick runs the attempt and notes its first count. */
    Task& downloading (MonitorRun& run, std::unique_ptr<Task> task)
    {
        auto& taken = run.system.answer (std::move (task));
        run.start();
        run.tick();
        return taken;
    }

    Task& whole (MonitorRun& run, int status = 200, juce::int64 length = 1000)
    {
        auto& task = downloading (run, std::make_unique<Task> (status, length));
        task.receive (juce::jmax (length, juce::int64 { 9 }));
        task.end();
        run.settle();   // the task's word that it has ended, without a tick
        return task;
    }

    /** A whole file, then, should the monitor ask for it again, another whole one. */
    void downloadedTwice (MonitorRun& run)
    {
        auto& first = downloading (run, std::make_unique<Task> (200, 1000));
        first.receive (1000);
        run.system.answer (std::make_unique<Task> (200, 1000)).receive (1000);
        first.end();
        run.settle();
        run.tick();
        run.system.lastTask->end();
        run.settle();
    }

    struct Row
    {
        const char* situation;
        std::function<void (MonitorRun&)> script;
        juce::StringArray log;       // after the start lines; <file> for the download's name
        juce::StringArray journal;   // the monitor's acts on the system, and the view's
        juce::String shown;          // the red text at the end
    };

    const juce::StringArray started { "folder /run1", "attempt /run1 from 0", "create /run1" };

    juce::StringArray operator+ (juce::StringArray first, const juce::StringArray& rest)
    {
        first.addArray (rest);
        return first;
    }
}

TEST (DownloadMonitor, LogsSystemAddressTargetAndConnectingInOrderThenWaitsForTheFirstAttempt)
{
    MonitorRun run;
    CapturingLogger::get().takeLines();
    run.monitor = std::make_unique<DownloadMonitor> (InstallerSettings { "Windows 7", "cn", { { "win10", "a:1" }, { "win7", "b:2" } } }, run, run.system);
    const auto lines = CapturingLogger::get().takeLines();

    EXPECT_EQ (lines, (juce::StringArray { juce::String ("OS is now: win7cn"), juce::String ("Download URL: https://b:2/VantrelInstall_winCN.exe"),
                                           "Download to: /run1/" + run.monitor->getTargetFile().getFileName(), juce::String ("Connecting...") }));
    EXPECT_EQ (run.monitor->getView().tickPeriod, 500ms);
    EXPECT_FALSE (run.monitor->hasDownloadTask());
}

TEST (DownloadMonitor, DecidesEachSituationAsTheProgramMust)
{
    const Row rows[] = {
        { "the first attempt still connecting: ticks show nothing and start nothing",
          [] (MonitorRun& r) { r.start(); r.monitor->tick (r.now += 500ms); r.monitor->tick (r.now += 500ms); },
          {}, { "folder /run1" }, {} },

        { "no answer: the red text, a new folder, and one attempt at a time",
          [] (MonitorRun& r) { r.start(); r.tick(); r.monitor->tick (r.now += 500ms); },
          { "Download to: /run2/<file>", "Reconnecting...", "Reconnecting..." },
          { "folder /run1", "attempt /run1 from 0", "remove /run1", "folder /run2" }, networkText },

        { "a refused connection is told, then retried like no answer",
          [] (MonitorRun& r) { r.system.refuse ("the server's certificate has no chain"); r.start(); r.tick(); r.settle(); },
          { tagged ("Connection refused: the server's certificate has no chain"), "Download to: /run2/<file>", "Reconnecting..." },
          { "folder /run1", "attempt /run1 from 0", "remove /run1", "folder /run2", "attempt /run2 from 0" }, networkText },

        { "downloading: one line a tick, the bar at the share received",
          [] (MonitorRun& r) { downloading (r, std::make_unique<Task> (200, 1000)).receive (250); r.tick(); },
          { "Downloading...", "Downloading..." }, started, {} },

        { "30 s without a byte is a stall: the part is kept and its rest asked for in the same folder",
          [] (MonitorRun& r) { downloading (r, std::make_unique<Task> (200, 1000)).receive (400);
                        r.tick(); r.tick (29999ms); r.tick (1ms); r.settle(); },
          { "Downloading...", "Downloading...", "Downloading...", tagged ("Download stalled at byte 400"), "Reconnecting..." },
          started + juce::StringArray { "discard", "attempt /run1 from 400" }, networkText },

        { "a cut keeps the part, looked at when it comes: the rest asked for at once",
          [] (MonitorRun& r) { auto& t = downloading (r, std::make_unique<Task> (200, 1000)); t.receive (700); t.end (true, true); r.settle(); r.settle(); },
          { "Downloading...", tagged ("Download cut off at byte 700"), "Reconnecting..." },
          started + juce::StringArray { "discard", "attempt /run1 from 700" }, networkText },

        { "a cut with no validator starts again from zero, in a new folder",
          [] (MonitorRun& r) { auto& t = downloading (r, std::make_unique<Task> (200, 1000, "")); t.receive (700); t.end (true, true); r.settle(); r.settle(); },
          { "Downloading...", tagged ("Download cut off at byte 700"),
            tagged ("Download will start again from zero: nothing safe to resume by (no length or validator)"),
            "Download to: /run2/<file>", "Reconnecting..." },
          started + juce::StringArray { "discard", "remove /run1", "folder /run2", "attempt /run2 from 0" }, networkText },

        { "a cut before the first byte starts again from zero",
          [] (MonitorRun& r) { downloading (r, std::make_unique<Task> (200, 1000)).end (true, true); r.settle(); },
          { "Downloading...", tagged ("Download cut off at byte 0"), tagged ("Download will start again from zero: nothing was received"),
            "Download to: /run2/<file>", "Reconnecting..." },
          started + juce::StringArray { "discard", "remove /run1", "folder /run2" }, networkText },

        { "the rest refused for now twice in a row: the kept part goes and the whole file is asked for",
          [] (MonitorRun& r) { auto& t = downloading (r, std::make_unique<Task> (200, 1000)); t.receive (700);
                               r.system.busy(); r.system.busy(); t.end (true, true); r.settle(); r.tick(); r.tick(); r.tick(); r.settle(); },
          { "Downloading...", tagged ("Download cut off at byte 700"), "Reconnecting...", "Reconnecting...",
            tagged ("Download will start again from zero: the server refused the rest twice (503)"), "Reconnecting...",
            "Download to: /run2/<file>", "Reconnecting..." },
          started + juce::StringArray { "discard", "attempt /run1 from 700", "attempt /run1 from 700", "remove /run1", "folder /run2",
                                        "attempt /run2 from 0" }, networkText },

        { "after a cut, the bar comes back once bytes move again, not at the resumed count",
          [] (MonitorRun& r) { auto& t = downloading (r, std::make_unique<Task> (200, 1000)); t.receive (700);
                        r.system.answer (std::make_unique<Task> (206, 1000)).resumedAnswer().receive (700);
                        t.end (true, true); r.tick(); r.tick();
                        EXPECT_EQ (r.last.redText, networkText);
                        r.system.lastTask->receive (800); r.tick(); },
          { "Downloading...", tagged ("Download cut off at byte 700"), "Reconnecting...", "Reconnecting...", "Downloading...", "Downloading..." },
          started + juce::StringArray { "discard", "attempt /run1 from 700", "reopen /run1 at 700" }, {} },

        { "a whole 200 is locked, judged, started, and the window hides",
          [] (MonitorRun& r) { whole (r); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"), tagged ("tool download successful") },
          started + juce::StringArray { "lock", "signed bytes", "start", "hide" }, {} },

        { "a resumed 206 that holds the whole file is started like a 200",
          [] (MonitorRun& r) { auto& t = downloading (r, std::make_unique<Task> (206, 1000)); t.resumedAnswer().receive (1000); t.end(); r.settle(); },
          { "Downloading...", tagged ("Download completed, status code: 206; file size: 1000"), tagged ("tool download successful") },
          started + juce::StringArray { "lock", "signed bytes", "start", "hide" }, {} },

        { "a 206 that is no resumed answer is a server error",
          [] (MonitorRun& r) { whole (r, 206); },
          { "Downloading...", tagged ("Download completed, status code: 206; file size: 1000"), tagged ("Error, show label and delete file") },
          started + juce::StringArray { "lock", "signed bytes", "remove /run1" }, serverText },

        { "a 404 is a server error: the folder goes, the ticks stop",
          [] (MonitorRun& r) { whole (r, 404, 9); r.tick(); },
          { "Downloading...", tagged ("Download completed, status code: 404; file size: 9"), tagged ("Error, show label and delete file") },
          started + juce::StringArray { "lock", "signed bytes", "remove /run1" }, serverText },

        { "a file shorter than announced is never started",
          [] (MonitorRun& r) { r.system.fileSize = 999; whole (r); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 999"), tagged ("Error, show label and delete file") },
          started + juce::StringArray { "lock", "signed bytes", "remove /run1" }, serverText },

        { "a file that cannot be locked is never started",
          [] (MonitorRun& r) { r.system.lockable = false; whole (r); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 0"), tagged ("Error, show label and delete file") },
          started + juce::StringArray { "lock", "remove /run1" }, serverText },

        { "a refused answer says why, then is a server error",
          [] (MonitorRun& r) { auto& t = downloading (r, std::make_unique<Task> (200, -1)); t.refusedBecause ("no length").end (true); r.settle(); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 0"), tagged ("Answer refused: no length"),
            tagged ("Error, show label and delete file") },
          started + juce::StringArray { "lock", "signed bytes", "remove /run1" }, serverText },

        { "one end is judged once: the task's word after a tick that judged it changes nothing",
          [] (MonitorRun& r) { auto& t = downloading (r, std::make_unique<Task> (404, 9)); t.receive (9); t.end(); r.monitor->tick (r.now); r.tick(); r.tick(); },
          { "Downloading...", tagged ("Download completed, status code: 404; file size: 9"), tagged ("Error, show label and delete file") },
          started + juce::StringArray { "lock", "signed bytes", "remove /run1" }, serverText },

        { "with a signer list, the signature is checked between the lock and the start",
          [] (MonitorRun& r) { r.system.answer (std::make_unique<Task> (200, 1000)); r.start ("Keldmark Ltd"); r.tick();
                        r.system.lastTask->receive (1000); r.system.lastTask->end(); r.settle(); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"), tagged ("tool download successful") },
          started + juce::StringArray { "lock", "signed bytes", "signature", "start", "hide" }, {} },

        { "a signature refused: never started, the folder goes",
          [] (MonitorRun& r) { r.system.signatureRefusal = "no signature"; r.system.answer (std::make_unique<Task> (200, 1000));
                        r.start ("Keldmark Ltd"); r.tick(); r.system.lastTask->receive (1000); r.system.lastTask->end(); r.settle(); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"), tagged ("Signature check failed: no signature"),
            tagged ("Can not open tool!"), tagged ("Temporary file deleted") },
          started + juce::StringArray { "lock", "signed bytes", "signature", "remove /run1" }, serverText },

        { "a start refused: said why, the folder goes",
          [] (MonitorRun& r) { r.system.startRefusal = "not the checked file"; whole (r); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"), tagged ("tool download successful"),
            tagged ("Start refused: not the checked file"), tagged ("Can not open tool!"), tagged ("Temporary file deleted") },
          started + juce::StringArray { "lock", "signed bytes", "start", "remove /run1" }, serverText },

        { "the tool's exit, seen by its watcher: the folder goes and the run is over",
          [] (MonitorRun& r) { whole (r); r.system.toolRunning = false; r.settle(); r.settle(); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"), tagged ("tool download successful"),
            tagged ("Temporary file deleted"), tagged ("Quit") },
          started + juce::StringArray { "lock", "signed bytes", "start", "hide", "remove /run1", "over" }, {} },

        { "no thread at all: the first attempt runs at once and the tick watches the tool",
          [] (MonitorRun& r) { r.system.threadsAvailable = false; r.system.answer (std::make_unique<Task> (200, 1000)).receive (1000);
                        r.system.lastTask = nullptr; r.start(); r.system.lastTask->end(); r.tick();
                        EXPECT_EQ (r.last.tickPeriod, 500ms); r.tick(); r.system.toolRunning = false; r.tick(); },
          { tagged ("Download completed, status code: 200; file size: 1000"), tagged ("tool download successful"),
            tagged ("Temporary file deleted"), tagged ("Quit") },
          started + juce::StringArray { "lock", "signed bytes", "start", "hide", "remove /run1", "over" }, {} },

        { "a signature that does not match its bytes (a splice): downloaded again from zero, once, and started",
          [] (MonitorRun& r) { r.system.signedBytes = { rules::SignedBytes::changed, rules::SignedBytes::intact }; downloadedTwice (r); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"),
            tagged ("Download will start again from zero: the file's signature does not match its bytes"), "Download to: /run2/<file>",
            "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"), tagged ("tool download successful") },
          started + juce::StringArray { "lock", "signed bytes", "discard", "remove /run1", "folder /run2", "attempt /run2 from 0",
                                        "create /run2", "lock", "signed bytes", "start", "hide" }, {} },

        { "a signature that does not match its bytes twice: never started",
          [] (MonitorRun& r) { r.system.signedBytes = { rules::SignedBytes::changed, rules::SignedBytes::changed }; downloadedTwice (r); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"),
            tagged ("Download will start again from zero: the file's signature does not match its bytes"), "Download to: /run2/<file>",
            "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"), tagged ("Signature check failed: changed since signing"),
            tagged ("Can not open tool!"), tagged ("Temporary file deleted") },
          started + juce::StringArray { "lock", "signed bytes", "discard", "remove /run1", "folder /run2", "attempt /run2 from 0",
                                        "create /run2", "lock", "signed bytes", "remove /run2" }, serverText },

        { "a chunked body whose end the server would not confirm: whole by its intact signature",
          [] (MonitorRun& r) { r.system.signedBytes = { rules::SignedBytes::intact };
                               auto& t = downloading (r, std::make_unique<Task> (200, -1)); t.receive (1000);
                               t.endNotConfirmed ("the server answered 200").end (true); r.settle(); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"),
            tagged ("Whole by its signature: the server answered 200"), tagged ("tool download successful") },
          started + juce::StringArray { "lock", "signed bytes", "start", "hide" }, {} },

        { "a chunked body whose end the server would not confirm, unsigned: refused as ever",
          [] (MonitorRun& r) { auto& t = downloading (r, std::make_unique<Task> (200, -1)); t.receive (1000);
                               t.endNotConfirmed ("the server answered 200").end (true); r.settle(); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"),
            tagged ("Answer refused: the server answered 200"), tagged ("Error, show label and delete file") },
          started + juce::StringArray { "lock", "signed bytes", "remove /run1" }, serverText },

        { "closed while the first attempt connects: the folder goes",
          [] (MonitorRun& r) { r.start(); r.close(); },
          { tagged ("Temporary file deleted") }, { "folder /run1", "remove /run1" }, {} },

        { "closed while downloading: the task is let go, then the folder",
          [] (MonitorRun& r) { downloading (r, std::make_unique<Task> (200, 1000)).receive (10); r.close(); },
          { "Downloading...", tagged ("Temporary file deleted") }, started + juce::StringArray { "discard", "remove /run1" }, {} },

        { "closed while the red text shows: the folder of the waiting attempt goes",
          [] (MonitorRun& r) { r.start(); r.tick(); r.close(); },
          { "Download to: /run2/<file>", "Reconnecting...", tagged ("Temporary file deleted") },
          { "folder /run1", "attempt /run1 from 0", "remove /run1", "folder /run2", "remove /run2" }, networkText },

        { "closed after a server error: nothing is left to delete",
          [] (MonitorRun& r) { whole (r, 500, 9); r.close(); },
          { "Downloading...", tagged ("Download completed, status code: 500; file size: 9"), tagged ("Error, show label and delete file") },
          started + juce::StringArray { "lock", "signed bytes", "remove /run1", "discard" }, serverText },

        { "closed while the tool runs: its file and folder stay",
          [] (MonitorRun& r) { whole (r); r.close(); },
          { "Downloading...", tagged ("Download completed, status code: 200; file size: 1000"), tagged ("tool download successful") },
          started + juce::StringArray { "lock", "signed bytes", "start", "hide", "discard" }, {} },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.situation);
        MonitorRun run;
        row.script (run);
        EXPECT_EQ (run.lines(), row.log) << run.lines().joinIntoString ("\n");
        EXPECT_EQ (run.system.journal, row.journal) << run.system.journal.joinIntoString (", ");
        EXPECT_EQ (run.last.redText, row.shown);

        if (row.shown == serverText)   // the end: the window waits for the user, nothing more happens by itself
        {
            EXPECT_TRUE (run.last.tickPeriod == 0ms && ! run.last.over);
        }
    }
}

TEST (DownloadMonitor, AResumeAsksForTheRestByTheKeptPartsLengthValidatorsAndAddress)
{
    MonitorRun run;
    auto& task = downloading (run, std::make_unique<Task> (200, 1000, "\"v7\"", "https://cdn/f.exe"));
    task.receive (300);
    run.tick();
    EXPECT_DOUBLE_EQ (run.last.progress, 0.3);

    task.end (true, true);
    run.settle();
    run.settle();
    ASSERT_EQ (run.system.asked.size(), 2u);

    const auto& resume = run.system.asked.back();
    EXPECT_EQ (resume.received, 300);
    EXPECT_EQ (resume.completeLength, 1000);
    EXPECT_EQ (resume.validators.etag, "\"v7\"");
    EXPECT_EQ (resume.address, "https://cdn/f.exe");
}

TEST (DownloadMonitor, AttemptsThatKeepFailingAreSpacedOutWhileTheRedTextAndItsLineStay)
{
    MonitorRun run;
    run.start();
    const auto attempts = [&run]
    {
        return std::count_if (run.system.journal.begin(), run.system.journal.end(),
                              [] (const juce::String& act) { return act.startsWith ("attempt"); });
    };

    // No answer for 6 s: attempts at the start, then 0.5, 1.5, 3 and 5.5 s (waits of a tick,
    // then 0.5, 1 and 2 s, each drawn whole here); every tick shows the text and logs its line.
    for (int i = 0; i < 12; ++i)
        run.tick();

    const auto lines = run.lines();
    const auto count = [&lines] (const juce::String& start)
    {
        return std::count_if (lines.begin(), lines.end(), [&start] (const juce::String& line) { return line.startsWith (start); });
    };

    EXPECT_EQ (attempts(), 5);
    EXPECT_EQ (count ("Reconnecting..."), 12);
    EXPECT_EQ (count ("Download to: "), 4);   // each attempt from zero in a folder of a new name
    EXPECT_EQ (run.last.redText, networkText);

    // The server answers and bytes come: a cut's rest is then asked for at the next tick again.
    auto& task = run.system.answer (std::make_unique<Task> (200, 1000));
    run.tick (4000ms);
    run.tick();
    task.receive (100);
    run.tick();
    task.end (true, true);
    run.settle();
    run.settle();
    EXPECT_EQ (run.system.journal[run.system.journal.size() - 1], "attempt /run6 from 100");
}

TEST (DownloadMonitor, AServerThatAsksForTimeIsAskedAgainNoSoonerThanItSaidUpToAMinute)
{
    for (const auto& [asked, waited] : { std::pair { 20, 20 }, std::pair { 600, 60 } })
    {
        SCOPED_TRACE (asked);
        MonitorRun run;
        run.system.busy (asked);
        run.start();
        run.tick();   // the attempt refused for now: no attempt until the server's time has passed

        const auto launchedAt = run.now;
        run.system.journal.clear();

        while (! run.system.journal.contains ("folder /run2") && run.now - launchedAt < 2min)
            run.tick();

        EXPECT_EQ (std::chrono::duration_cast<std::chrono::seconds> (run.now - launchedAt).count(), waited);
    }
}
