// The framework set up once for every test: the message manager on the main thread, and a
// logger that tests can read back.

#include "JuceTestEnvironment.h"
#include "platform/BackgroundJobs.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cstdio>

juce::StringArray CapturingLogger::takeLines()
{
    const juce::ScopedLock lock (mutex);
    auto taken = lines;
    lines.clear();
    return taken;
}

void CapturingLogger::logMessage (const juce::String& message)
{
    const juce::ScopedLock lock (mutex);
    lines.add (message);
}

CapturingLogger& CapturingLogger::get()
{
    static CapturingLogger logger;
    return logger;
}

int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);

    // Torn down before main returns: the framework must not outlive its own statics.
    const juce::ScopedJuceInitialiser_GUI framework;
    const auto lookAndFeel = platform::createDefaultLookAndFeel();   // the same fonts as the program

    if (lookAndFeel != nullptr)
        juce::LookAndFeel::setDefaultLookAndFeel (lookAndFeel.get());

    juce::Logger::setCurrentLogger (&CapturingLogger::get());
    const auto result = RUN_ALL_TESTS();

    // As the program's exit does: a job the tests left (on a busy machine, a download attempt
    // let go may not even have started yet) must end while the framework it calls is still up,
    // not run on into its teardown. Generous: this waits for the tests' jobs, not a user.
    if (! platform::BackgroundJobs::stopAll (10000))
    {
        std::fprintf (stderr, "background jobs still running at the end of the tests\n");
        platform::BackgroundJobs::endProcessWithoutTeardown (1);
    }

    juce::Logger::setCurrentLogger (nullptr);
    juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
    return result;
}
