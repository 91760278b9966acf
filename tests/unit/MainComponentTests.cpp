#include "download/BuildTable.h"
#include "download/DownloadVariant.h"
#include "download/MainComponent.h"
#include "platform/BackgroundJobs.h"
#include "helpers/JuceTestEnvironment.h"
#include "helpers/TestMirror.h"
#include "helpers/TestSettings.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace juce
{
    // The Linux message loop's own step (the framework's modal loops are off): runs one message.
    bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace
{
    // Nothing listens on port 1 of the loopback: a connection is refused at once.
    InstallerSettings refusingSettings (const juce::String& system = "Windows 10", const juce::String& language = "cn")
    {
        return settingsAt ("localhost:1", system, language);
    }

    bool isHexIdentifier (const juce::String& text)
    {
        return text.length() == 32 && text.containsOnly ("0123456789abcdef");
    }

    struct ComponentFixture : public ::testing::Test
    {
        void SetUp() override           { CapturingLogger::get().takeLines(); }

        void TearDown() override
        {
            for (auto& folder : foldersToRemove)
                folder.deleteRecursively();
        }

        std::unique_ptr<MainComponent> make (const InstallerSettings& settings)
        {
            auto component = std::make_unique<MainComponent> (settings);
            foldersToRemove.add (component->getTargetFile().getParentDirectory());
            return component;
        }

        juce::Array<juce::File> foldersToRemove;
    };

    /** Ticks the monitor by hand, as its timer would, until `done` or about ten seconds. */
    template <typename Condition>
    bool tickUntil (MainComponent& component, Condition done)
    {
        for (int i = 0; i < 200 && ! done(); ++i)
        {
            juce::Thread::sleep (50);

            if (component.isTimerRunning())
                component.timerCallback();
        }

        return done();
    }
}

TEST_F (ComponentFixture, LogsSystemAddressTargetAndConnectingInOrder)
{
    const auto component = make (refusingSettings());
    const auto lines = CapturingLogger::get().takeLines();

    ASSERT_EQ (lines.size(), 4);
    EXPECT_EQ (lines[0], "OS is now: wincn");
    EXPECT_EQ (lines[1], "Download URL: https://localhost:1/VantrelInstall_winCN.exe");
    EXPECT_EQ (lines[2], "Download to: " + component->getTargetFile().getFullPathName());
    EXPECT_EQ (lines[3], "Connecting...");
    EXPECT_EQ (component->getVariantKey(), "wincn");
    EXPECT_FALSE (component->hasDownloadTask());   // refused: no task, as on Windows
}

TEST_F (ComponentFixture, TargetIsAFreshFolderAndFileNamedByRandomIdentifiers)
{
    const auto first = make (refusingSettings());
    const auto second = make (refusingSettings());
    const auto temp = juce::File::getSpecialLocation (juce::File::tempDirectory);

    for (const auto* component : { first.get(), second.get() })
    {
        const auto target = component->getTargetFile();
        EXPECT_EQ (target.getParentDirectory().getParentDirectory(), temp);
        EXPECT_TRUE (isHexIdentifier (target.getParentDirectory().getFileName()));
        EXPECT_TRUE (isHexIdentifier (target.getFileNameWithoutExtension()));
        EXPECT_EQ (target.getFileExtension(), ".exe");
        EXPECT_TRUE (target.getParentDirectory().isDirectory());
    }

    EXPECT_NE (first->getTargetFile().getParentDirectory(), second->getTargetFile().getParentDirectory());
    EXPECT_NE (first->getTargetFile().getFileName(), second->getTargetFile().getFileName());
}

TEST_F (ComponentFixture, ClosingBeforeAnythingWasDownloadedLeavesNoFolder)
{
    auto component = make (refusingSettings());
    const auto folder = component->getTargetFile().getParentDirectory();
    ASSERT_TRUE (folder.isDirectory());
    ASSERT_FALSE (component->hasDownloadTask());

    component.reset();
    EXPECT_FALSE (folder.exists());
}

TEST_F (ComponentFixture, ASystemWithNoBuildLogsAnEmptyAddressAndHasNoTask)
{
    const auto component = make (refusingSettings ("Windows 8.1"));
    const auto lines = CapturingLogger::get().takeLines();

    EXPECT_EQ (component->getVariantKey(), "maccn");
    EXPECT_EQ (lines[1], "Download URL: ");
    EXPECT_TRUE (component->getDownloadUrl().isEmpty());
    EXPECT_FALSE (component->hasDownloadTask());
}

TEST_F (ComponentFixture, ShowsTheBarOnWhiteAt300By50)
{
    const auto component = make (refusingSettings());

    EXPECT_EQ (component->getWidth(), 300);
    EXPECT_EQ (component->getHeight(), 50);
    EXPECT_FALSE (component->isShowingStatusText());

    const auto image = component->createComponentSnapshot (component->getLocalBounds(), true, 1.0f);
    EXPECT_EQ (image.getPixelAt (5, 5), juce::Colour (0xffffffff));
    EXPECT_EQ (image.getPixelAt (295, 45), juce::Colour (0xffffffff));
    EXPECT_EQ (image.getPixelAt (30, 22), juce::Colour (0xffadd8e6));   // the bar at (10, 10), 280 x 25
    EXPECT_EQ (image.getPixelAt (30, 36), juce::Colour (0xffffffff));
    EXPECT_EQ (image.getPixelAt (291, 22), juce::Colour (0xffffffff));
}

TEST_F (ComponentFixture, NoConnectionShowsTheNetworkTextInRedAndRetries)
{
    for (const auto& language : BuildTable::languages)
    {
        SCOPED_TRACE (language.code);
        const auto component = make (refusingSettings ("Windows 10", language.code));
        const auto firstFolder = component->getTargetFile().getParentDirectory();
        CapturingLogger::get().takeLines();

        // The first attempt runs behind the window; the first tick after it failed shows it.
        ASSERT_TRUE (tickUntil (*component, [&] { return component->getStatusText().isNotEmpty(); }));

        EXPECT_EQ (component->getStatusText(), DownloadVariant::getNetworkFailureText (component->getVariantKey()));
        EXPECT_TRUE (component->getChildren().size() == 1);   // the label replaced the bar

        // Nothing was kept: the retry writes into a folder of a new name, never the one told before.
        const auto target = component->getTargetFile();
        EXPECT_TRUE (target.getParentDirectory().isDirectory());
        EXPECT_NE (target.getParentDirectory(), firstFolder);
        EXPECT_FALSE (firstFolder.exists());
        EXPECT_EQ (CapturingLogger::get().takeLines(), (juce::StringArray { "Download to: " + target.getFullPathName(), "Reconnecting..." }));

        const auto image = component->createComponentSnapshot (component->getLocalBounds(), true, 1.0f);
        int red = 0;

        for (int x = 5; x < 295; ++x)
            for (int y = 10; y < 40; ++y)
            {
                const auto pixel = image.getPixelAt (x, y);

                if (pixel.getRed() > 200 && pixel.getGreen() < 90 && pixel.getBlue() < 90)
                    ++red;
            }

        EXPECT_GT (red, 40);
        EXPECT_TRUE (component->isTimerRunning());
    }
}

TEST_F (ComponentFixture, UntilTheFirstAttemptEndsTheWindowShowsTheBarAndNothingFailed)
{
    // A server that accepts and never answers: the component is there at once (before, its
    // constructor waited for the attempt, up to 30 s), ticks show the bar at 0 and log nothing.
    const TestPayload payload (5000);
    TestMirror mirror (payload.getFile(), { "--mode", "silent" });
    const auto component = make (settingsAt (mirror.getHost(), "Windows 10", "en"));
    CapturingLogger::get().takeLines();

    for (int tick = 0; tick < 4; ++tick)
    {
        juce::Thread::sleep (50);
        component->timerCallback();
    }

    EXPECT_FALSE (component->getStatusText().isNotEmpty() || component->hasDownloadTask());
    EXPECT_EQ (component->getChildren().size(), 1);   // the bar
    EXPECT_EQ (CapturingLogger::get().takeLines(), juce::StringArray());
}

TEST_F (ComponentFixture, ServerErrorStatusesAreJudgedBadAndTheFolderRemoved)
{
    const TestPayload payload (5000);

    for (const auto* mode : { "404", "500" })
    {
        SCOPED_TRACE (mode);
        TestMirror mirror (payload.getFile(), { "--mode", mode });
        const auto component = make (settingsAt (mirror.getHost(), "Windows 10", "en"));
        const auto folder = component->getTargetFile().getParentDirectory();
        CapturingLogger::get().takeLines();

        ASSERT_TRUE (tickUntil (*component, [&] { return ! component->isTimerRunning(); }));

        const auto lines = CapturingLogger::get().takeLines();
        ASSERT_GE (lines.size(), 2);
        EXPECT_TRUE (lines[lines.size() - 2].startsWith ("<timerCallback> Download completed, status code: " + juce::String (mode) + "; file size: "));
        EXPECT_EQ (lines[lines.size() - 1], "<timerCallback> Error, show label and delete file");
        EXPECT_EQ (component->getStatusText(), "Server error!");
        EXPECT_FALSE (folder.exists());
    }
}

TEST_F (ComponentFixture, TheEndOfADownloadIsLookedAtWhenItComesNotAtTheNextTick)
{
    // No tick at all: the answer is judged all the same, from the task's word that it has ended.
    const TestPayload payload (5000);
    TestMirror mirror (payload.getFile(), { "--mode", "500" });
    const auto component = make (settingsAt (mirror.getHost(), "Windows 10", "en"));
    component->stopTimer();
    CapturingLogger::get().takeLines();
    juce::StringArray lines;

    for (int i = 0; i < 200 && ! lines.contains ("<timerCallback> Error, show label and delete file"); ++i)
    {
        while (juce::dispatchNextMessageOnSystemQueue (true)) {}

        juce::Thread::sleep (50);
        lines.addArray (CapturingLogger::get().takeLines());
    }

    ASSERT_EQ (lines.size(), 2) << lines.joinIntoString ("\n").toStdString();
    EXPECT_TRUE (lines[0].startsWith ("<timerCallback> Download completed, status code: 500; file size: "));
    EXPECT_EQ (lines[1], "<timerCallback> Error, show label and delete file");
}

TEST_F (ComponentFixture, ScreenReadersFindTheTitledWindowThenTheBarOrTheRedText)
{
    // Headers and half the body, then nothing: the bar stays half full until the mirror goes.
    const TestPayload payload (5000);
    auto mirror = std::make_unique<TestMirror> (payload.getFile(), juce::StringArray { "--mode", "stall" });
    const auto component = make (settingsAt (mirror->getHost(), "Windows 10", "en"));

    // The framework's X11 library, kept loaded for good: what Xlib caches once a window was made
    // would look leaked to LeakSanitizer after the framework unloads it at exit. A test binary is no
    // standalone app, so the framework also leaves Xlib's error handler, which ends the process over
    // the window-manager atoms a bare Xvfb lacks (the program's own handler logs them).
    using ErrorHandler = int (*) (void*, void*);
    const auto setErrorHandler = reinterpret_cast<ErrorHandler (*) (ErrorHandler)> (dlsym (dlopen ("libX11.so.6", RTLD_LAZY | RTLD_NODELETE),
                                                                                           "XSetErrorHandler"));
    ASSERT_NE (setErrorHandler, nullptr);
    const juce::ScopeGuard restore { [setErrorHandler, previous = setErrorHandler (+[] (void*, void*) { return 0; })]
                                     { setErrorHandler (previous); } };

    juce::DocumentWindow window ("Vantrel Install", juce::Colours::white, juce::DocumentWindow::allButtons);
    window.setUsingNativeTitleBar (true);
    window.setContentNonOwned (component.get(), true);
    window.setVisible (true);

    auto* const root = window.getAccessibilityHandler();
    ASSERT_NE (root, nullptr);
    EXPECT_EQ (root->getRole(), juce::AccessibilityRole::window);
    EXPECT_EQ (root->getTitle(), "Vantrel Install");

    // The window reads straight on to what the content shows, with nothing nameless between.
    const auto onlyChild = [root] (juce::AccessibilityRole role) -> juce::AccessibilityHandler*
    {
        const auto children = root->getChildren();
        return children.size() == 1 && children[0]->getRole() == role ? children[0] : nullptr;
    };

    EXPECT_TRUE (tickUntil (*component, [&] { const auto* bar = onlyChild (juce::AccessibilityRole::progressBar);
                                              return bar != nullptr && bar->getValueInterface()->getCurrentValue() == 0.5; }));

    mirror.reset();   // the transfer is cut off: the network text replaces the bar
    ASSERT_TRUE (tickUntil (*component, [&] { return onlyChild (juce::AccessibilityRole::label) != nullptr; }));

    const auto* label = onlyChild (juce::AccessibilityRole::label);
    EXPECT_EQ (label->getTitle(), DownloadVariant::getNetworkFailureText ("winen"));
    EXPECT_EQ (label->getValueInterface()->getCurrentValueAsString(), component->getStatusText());
}

TEST_F (ComponentFixture, AResumedDownloadBringsTheBarBackShowingTheWholeFilesProgress)
{
    const TestPayload payload (2000000);
    TestMirror mirror (payload.getFile(), { "--mode", "slow", "--rate", "700000", "--cuts", "1" });
    const auto component = make (settingsAt (mirror.getHost(), "Windows 10", "en"));
    juce::StringArray lines;
    const auto resumedFrom = [&lines]
    {
        lines.addArray (CapturingLogger::get().takeLines());
        const juce::String prefix ("<timerCallback> Download resumed from byte ");

        for (const auto& line : lines)
            if (line.startsWith (prefix))
                return line.substring (prefix.length()).getLargeIntValue();

        return juce::int64 { -1 };
    };

    ASSERT_TRUE (tickUntil (*component, [&] { return resumedFrom() >= 0 && lines.contains ("Reconnecting..."); }));
    ASSERT_TRUE (tickUntil (*component, [&] { return dynamic_cast<juce::ProgressBar*> (component->getChildren().getFirst()) != nullptr; }));

    // The bar alone, counting the kept bytes too; the red text is gone.
    const auto kept = resumedFrom();
    EXPECT_EQ (component->getChildren().size(), 1);
    EXPECT_TRUE (component->getStatusText().isEmpty());
    EXPECT_GE (component->getProgress(), (double) kept / (double) payload.getBytes().getSize());
}

/** A whole good run (the tool: /bin/true) with no thread to be had from the start: exits with 0
    when it ends as it should, printing its log lines.
*/
[[noreturn]] void runHandOverWithNoThreads (ComponentFixture& fixture)
{
    auto ended = false;

    {
        platform::BackgroundJobs::stopAll (0);   // from now on no job can be started
        TestMirror mirror (juce::File ("/bin/true"));
        const auto component = fixture.make (settingsAt (mirror.getHost(), "Windows 10", "en"));
        const auto folder = component->getTargetFile().getParentDirectory();
        juce::StringArray lines;

        tickUntil (*component, [&] { lines.addArray (CapturingLogger::get().takeLines()); return lines.contains ("<timerCallback> Quit"); });

        const juce::StringArray ending { "<timerCallback> tool download successful", "<timerCallback> Temporary file deleted",
                                         "<timerCallback> Quit" };
        ended = lines.size() >= 3 && juce::StringArray (lines.begin() + lines.size() - 3, 3) == ending && ! folder.exists();
        std::fputs ((lines.joinIntoString ("\n") + "\n").toRawUTF8(), stderr);
    }   // the mirror stopped: it holds this child's end of the pipe the test reads

    std::_Exit (ended ? 0 : 1);   // no teardown: the framework is still up
}

TEST_F (ComponentFixture, WithNoThreadForTheExitWatcherTheTimerEndsTheRunWhenTheToolExits)
{
    // Refusing every new thread lasts for the process, so the run happens in a child of its own.
    GTEST_FLAG_SET (death_test_style, "threadsafe");
    EXPECT_EXIT (runHandOverWithNoThreads (*this), ::testing::ExitedWithCode (0), "Quit");
}
