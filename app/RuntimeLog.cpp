#include "RuntimeLog.h"

namespace RuntimeLog
{

juce::File getDefaultFile()
{
    return juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory)
               .getChildFile ("Keldmark")
               .getChildFile ("VantrelInstall")
               .getChildFile ("runtimeLog_shell.txt");
}

juce::String getWelcomeText (juce::Time time)
{
    return "Application started at " + time.toString (true, true, true, false);
}

std::unique_ptr<RuntimeLogger> create (const juce::File& file, juce::Time startTime)
{
    return std::make_unique<RuntimeLogger> (file, getWelcomeText (startTime), maxInitialSize);
}

void install()
{
    // Lives until static destruction; uninstalls itself first so nothing logs into a deleted logger.
    struct Installed
    {
        Installed() : logger (create (getDefaultFile(), juce::Time::getCurrentTime()))
        {
            juce::Logger::setCurrentLogger (logger.get());
        }

        ~Installed()
        {
            juce::Logger::setCurrentLogger (nullptr);
        }

        std::unique_ptr<RuntimeLogger> logger;
    };

    static Installed installed;
}

} // namespace RuntimeLog
