#include "app/RuntimeLog.h"
#include "helpers/Scratch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <thread>
#include <vector>

namespace
{
    juce::MemoryBlock readAll (const juce::File& file)
    {
        juce::MemoryBlock data;
        file.loadFileAsData (data);
        return data;
    }

    juce::String stamp (juce::Time time)
    {
        return time.toString (true, true, true, false);
    }

    /** The banner, whose "Log started" line has the time the logger opened the file. */
    juce::String bannerFor (juce::Time welcomeTime, juce::Time opened)
    {
        return "\r\n" + juce::String::repeatedString ("*", 58) + "\r\n"
             + "Application started at " + stamp (welcomeTime) + "\r\n"
             + "Log started: " + stamp (opened) + "\r\n\r\n";
    }

    /** True if `text` is the banner written by a logger opened between the two times. */
    bool isBannerOpenedBetween (const juce::String& text, juce::Time welcomeTime, juce::Time before, juce::Time after)
    {
        return text == bannerFor (welcomeTime, before) || text == bannerFor (welcomeTime, after);
    }

    /** The application-data folder (it exists on every real profile) and the log's place in it. */
    struct LogFolder
    {
        Scratch scratch;
        juce::File appData = scratch.root;
        juce::File log = appData.getChildFile ("Keldmark/VantrelInstall/runtimeLog_shell.txt");
    };
}

TEST (RuntimeLog, LivesUnderUserApplicationData)
{
    const auto expected = juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory)
                              .getChildFile ("Keldmark").getChildFile ("VantrelInstall").getChildFile ("runtimeLog_shell.txt");
    EXPECT_EQ (RuntimeLog::getDefaultFolder().getChildFile (RuntimeLog::pathInAppData), expected);
}

TEST (RuntimeLog, WritesBannerAndCrLfLinesByteForByte)
{
    LogFolder folder;
    const juce::Time start (2026, 11, 6, 11, 46, 27, 0, true);   // 6 Dec 2026, months count from 0

    EXPECT_EQ (RuntimeLog::getWelcomeText (start), juce::String ("Application started at 6 Dec 2026 11:46:27am"));

    const auto before = juce::Time::getCurrentTime();

    {
        auto logger = RuntimeLog::create (folder.appData, start);   // makes the missing folders
        logger->logMessage ("OS is now: wincn");
        logger->logMessage (juce::CharPointer_UTF8 ("\xe7\xbd\x91\xe7\xbb\x9c"));
    }

    const auto lines = "OS is now: wincn\r\n" + juce::String (juce::CharPointer_UTF8 ("\xe7\xbd\x91\xe7\xbb\x9c")) + "\r\n";
    const auto written = readAll (folder.log).toString();   // decoded as UTF-8
    ASSERT_TRUE (written.endsWith (lines));
    EXPECT_TRUE (isBannerOpenedBetween (written.dropLastCharacters (lines.length()), start, before, juce::Time::getCurrentTime()));
}

TEST (RuntimeLog, TrimsALongLogToItsTailFromALineBreak)
{
    struct TrimCase
    {
        const char* situation;
        juce::MemoryBlock before;
        size_t kept;   // the old log's last bytes that stay
    };

    // 30-byte lines: the last 128 KiB of 200000 bytes begin at byte 68928, inside the line whose
    // CR is at byte 68938; from there 131062 bytes stay.
    const auto lines = [] (size_t totalBytes)
    {
        juce::MemoryOutputStream out;

        for (int i = 0; out.getDataSize() < totalBytes; ++i)
            out << "line " << juce::String (i).paddedLeft ('0', 8) << " of the old log\r\n";

        auto block = out.getMemoryBlock();
        block.setSize (totalBytes);
        return block;
    };

    auto withNulInTail = lines (200000);
    withNulInTail[200000 - 1000] = 0;
    juce::MemoryBlock noLineBreak (200000);
    noLineBreak.fillWith ('x');

    const TrimCase cases[] = {
        { "200000 bytes of lines",              lines (200000), 131062 },
        { "exactly the limit",                  lines (131072), 131072 },
        { "a NUL byte before the first break",  [] { juce::MemoryBlock b (200000); b.fillWith ('x'); b[70000] = 0; b[90000] = '\n'; return b; }(), 200000 },
        { "no line break at all",               noLineBreak, 200000 },
        { "a NUL after the first break",        withNulInTail, 131062 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.situation);
        LogFolder folder;
        folder.log.create();
        folder.log.replaceWithData (c.before.getData(), c.before.getSize());
        const juce::Time start (2026, 11, 6, 9, 5, 0, 0, true);

        const auto before = juce::Time::getCurrentTime();
        RuntimeLog::create (folder.appData, start).reset();
        const auto after = readAll (folder.log);

        juce::MemoryBlock expectedKept (static_cast<const char*> (c.before.getData()) + c.before.getSize() - c.kept, c.kept);

        ASSERT_GT (after.getSize(), expectedKept.getSize());
        EXPECT_EQ (0, memcmp (after.getData(), expectedKept.getData(), expectedKept.getSize()));

        const auto appended = juce::String::fromUTF8 (static_cast<const char*> (after.getData()) + expectedKept.getSize(),
                                                      (int) (after.getSize() - expectedKept.getSize()));
        EXPECT_TRUE (isBannerOpenedBetween (appended, start, before, juce::Time::getCurrentTime()));
    }
}

TEST (RuntimeLog, ALogPathThatIsAFolderLosesMessagesWithoutFailing)
{
    LogFolder folder;
    ASSERT_TRUE (folder.log.createDirectory());

    auto logger = RuntimeLog::create (folder.appData, juce::Time::getCurrentTime());
    logger->logMessage ("lost");

    EXPECT_TRUE (folder.log.isDirectory());
}

TEST (RuntimeLog, AFileLeaseOnTheLogIsNotWaitedFor)
{
    // A process of the user may hold a lease on the log, as a Windows one may an oplock: opening
    // it for writing would wait for the lease's break (45 s by default) before any window shows.
    // The program does without its log this run instead.
    LogFolder folder;
    ASSERT_TRUE (folder.log.create() && folder.log.replaceWithText ("kept"));
    const auto holderIgnoresBreak = std::signal (SIGIO, SIG_IGN);   // the break is told to the holder, this process
    const auto holder = ::open (folder.log.getFullPathName().toRawUTF8(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ (::fcntl (holder, F_SETLEASE, F_RDLCK), 0);

    RuntimeLog::create (folder.appData, juce::Time::getCurrentTime())->logMessage ("lost");

    ::close (holder);
    std::signal (SIGIO, holderIgnoresBreak);
    EXPECT_EQ (folder.log.loadFileAsString(), "kept");
}

TEST (RuntimeLog, NoLogWhenTheApplicationDataFolderIsALinkOrMissing)
{
    // Where it is, is the user's to choose: through a link nothing is written or made, whatever
    // it points to; a missing one is not made.
    LogFolder folder;
    const auto elsewhere = folder.appData.getChildFile ("elsewhere"), link = folder.appData.getChildFile ("linked");

    for (const auto* inside : { "", "Keldmark/VantrelInstall" })
    {
        ASSERT_TRUE (elsewhere.getChildFile (inside).createDirectory());
        ASSERT_TRUE (juce::File (elsewhere).createSymbolicLink (link, true));
        RuntimeLog::create (link, juce::Time::getCurrentTime())->logMessage ("lost");

        EXPECT_EQ (elsewhere.findChildFiles (juce::File::findFilesAndDirectories, true).size(), juce::String (inside).isEmpty() ? 0 : 2);
        EXPECT_TRUE (link.deleteFile() && elsewhere.deleteRecursively());
    }

    RuntimeLog::create (folder.appData.getChildFile ("missing"), juce::Time::getCurrentTime())->logMessage ("lost");
    EXPECT_FALSE (folder.appData.getChildFile ("missing").exists());
}

TEST (RuntimeLog, NoLogWhenTheApplicationDataFolderIsAnotherUsers)
{
    // A real folder, no link on the way, but not the user's own: an administrator's, say, that
    // the user's shell-folder settings point at. Nothing is made or written in it.
    LogFolder folder;

    if (::getuid() == 65534 || ::chown (folder.appData.getFullPathName().toRawUTF8(), 65534, 65534) != 0)
        GTEST_SKIP() << "needs to give the folder to another user (run as root)";

    RuntimeLog::create (folder.appData, juce::Time::getCurrentTime())->logMessage ("lost");
    EXPECT_EQ (folder.appData.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);
}

TEST (RuntimeLog, WritersAppendingAtOnceKeepEveryLineWhole)
{
    // Each logger stands for one instance of the program: its own lock, the same file.
    LogFolder folder;
    const auto now = juce::Time::getCurrentTime();
    auto first = RuntimeLog::create (folder.appData, now);
    auto second = RuntimeLog::create (folder.appData, now);
    constexpr int linesEach = 3000;

    const auto write = [] (RuntimeLogger& logger, const char* name)
    {
        for (int i = 0; i < linesEach; ++i)
            logger.logMessage (juce::String (name) + " line " + juce::String (i) + " " + juce::String::repeatedString ("x", 80));
    };

    std::thread a ([&] { write (*first, "first"); }), b ([&] { write (*second, "second"); });
    a.join();
    b.join();

    const auto text = folder.log.loadFileAsString();
    juce::StringArray lines;
    lines.addTokens (text, "\r\n", {});
    lines.removeEmptyStrings();

    int whole = 0;

    for (const auto& line : lines)
        if (line.matchesWildcard ("first line * x*", false) || line.matchesWildcard ("second line * x*", false))
            whole += line.endsWith (juce::String::repeatedString ("x", 80)) ? 1 : 0;

    EXPECT_EQ (whole, 2 * linesEach);
    EXPECT_EQ (text.length() - text.replace ("\r\n", "").length(), 2 * (2 * linesEach + 2 * 5));   // CR LF pairs only
}

TEST (RuntimeLog, InstancesOpeningAtOnceOnMissingFoldersEachWriteTheirBanner)
{
    // The folders are made by whichever instance comes first; one that finds a folder appearing
    // while it makes it must still get its banner in.
    constexpr int rounds = 200, loggersEach = 4;

    for (int round = 0; round < rounds; ++round)
    {
        LogFolder folder;
        const auto now = juce::Time::getCurrentTime();
        std::vector<std::thread> threads;

        for (int i = 0; i < loggersEach; ++i)
            threads.emplace_back ([&] { RuntimeLog::create (folder.appData, now); });

        for (auto& thread : threads)
            thread.join();

        juce::StringArray lines;
        lines.addLines (folder.log.loadFileAsString());
        ASSERT_EQ (std::count (lines.begin(), lines.end(), RuntimeLog::getWelcomeText (now)), loggersEach)
            << "round " << round;
    }
}
