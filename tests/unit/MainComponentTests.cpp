#include "download/BuildTable.h"
#include "download/DownloadVariant.h"
#include "download/MainComponent.h"
#include "helpers/JuceTestEnvironment.h"
#include "helpers/MonitorStandIns.h"
#include "helpers/TestSettings.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

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
            foldersToRemove.add (component->getMonitor().getTargetFile().getParentDirectory());
            return component;
        }

        juce::Array<juce::File> foldersToRemove;
    };
}

TEST_F (ComponentFixture, TargetIsAFreshFolderAndFileNamedByRandomIdentifiers)
{
    const auto first = make (refusingSettings());
    const auto second = make (refusingSettings());
    const auto temp = juce::File::getSpecialLocation (juce::File::tempDirectory);

    for (const auto* component : { first.get(), second.get() })
    {
        const auto target = component->getMonitor().getTargetFile();
        EXPECT_EQ (target.getParentDirectory().getParentDirectory(), temp);
        EXPECT_TRUE (isHexIdentifier (target.getParentDirectory().getFileName()));
        EXPECT_TRUE (isHexIdentifier (target.getFileNameWithoutExtension()));
        EXPECT_EQ (target.getFileExtension(), ".exe");
        EXPECT_TRUE (target.getParentDirectory().isDirectory());
    }

    EXPECT_NE (first->getMonitor().getTargetFile().getParentDirectory(), second->getMonitor().getTargetFile().getParentDirectory());
    EXPECT_NE (first->getMonitor().getTargetFile().getFileName(), second->getMonitor().getTargetFile().getFileName());
}

TEST_F (ComponentFixture, ClosingBeforeAnythingWasDownloadedLeavesNoFolder)
{
    auto component = make (refusingSettings());
    const auto folder = component->getMonitor().getTargetFile().getParentDirectory();
    ASSERT_TRUE (folder.isDirectory());
    ASSERT_FALSE (component->getMonitor().hasDownloadTask());

    component.reset();
    EXPECT_FALSE (folder.exists());
}

TEST_F (ComponentFixture, ASystemWithNoBuildLogsAnEmptyAddressAndHasNoTask)
{
    const auto component = make (refusingSettings ("Windows 8.1"));
    const auto lines = CapturingLogger::get().takeLines();

    EXPECT_EQ (component->getMonitor().getVariantKey(), "maccn");
    EXPECT_EQ (lines[1], "Download URL: ");
    EXPECT_TRUE (component->getMonitor().getDownloadUrl().isEmpty());
    EXPECT_FALSE (component->getMonitor().hasDownloadTask());
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

TEST_F (ComponentFixture, TheMonitorsRedTextReplacesTheBarInRedInEachLanguage)
{
    for (const auto& language : BuildTable::languages)
    {
        SCOPED_TRACE (language.code);
        MonitorStandIns::System system;   // no answer: the first tick after the attempt shows the red text
        MainComponent component (settingsAt ("host", "Windows 10", language.code), system);
        system.runJobs();
        component.timerCallback();

        EXPECT_EQ (component.getStatusText(), DownloadVariant::getNetworkFailureText (component.getMonitor().getVariantKey()));
        EXPECT_EQ (component.getChildren().size(), 1);   // the label replaced the bar
        EXPECT_TRUE (component.isTimerRunning());

        const auto image = component.createComponentSnapshot (component.getLocalBounds(), true, 1.0f);
        int red = 0;

        for (int x = 5; x < 295; ++x)
            for (int y = 10; y < 40; ++y)
            {
                const auto pixel = image.getPixelAt (x, y);

                if (pixel.getRed() > 200 && pixel.getGreen() < 90 && pixel.getBlue() < 90)
                    ++red;
            }

        EXPECT_GT (red, 40);
        system.jobsRunAtOnce = true;
    }
}

TEST_F (ComponentFixture, ScreenReadersFindTheTitledWindowThenTheBarOrTheRedText)
{
    // Half the file, then a cut: the bar at half, then the network text in its place.
    MonitorStandIns::System system;
    auto& task = system.answer (std::make_unique<MonitorStandIns::Task> (200, 5000));
    task.receive (2500);
    auto component = std::make_unique<MainComponent> (settingsAt ("host", "Windows 10", "en"), system);
    system.runJobs();
    component->timerCallback();

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

    const auto* bar = onlyChild (juce::AccessibilityRole::progressBar);
    ASSERT_NE (bar, nullptr);
    EXPECT_EQ (bar->getValueInterface()->getCurrentValue(), 0.5);

    task.end (true, true);
    system.runPosted();

    const auto* label = onlyChild (juce::AccessibilityRole::label);
    ASSERT_NE (label, nullptr);
    EXPECT_EQ (label->getTitle(), DownloadVariant::getNetworkFailureText ("winen"));
    EXPECT_EQ (label->getValueInterface()->getCurrentValueAsString(), component->getStatusText());

    window.clearContentComponent();
    system.jobsRunAtOnce = true;
    component.reset();
}
