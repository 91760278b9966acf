// The framework set up once for every test: the message manager on the main thread, and a
// logger that tests can read back.

#include "JuceTestEnvironment.h"

#include <gtest/gtest.h>

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

namespace
{
    class JuceEnvironment final : public ::testing::Environment
    {
    public:
        void SetUp() override
        {
            juce::Logger::setCurrentLogger (&CapturingLogger::get());
        }

        void TearDown() override
        {
            juce::Logger::setCurrentLogger (nullptr);
        }

    private:
        juce::ScopedJuceInitialiser_GUI framework;
    };
}

int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    ::testing::AddGlobalTestEnvironment (new JuceEnvironment());   // gtest takes ownership
    return RUN_ALL_TESTS();
}
