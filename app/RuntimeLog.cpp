#include "RuntimeLog.h"

#include "constants/Texts.h"

namespace RuntimeLog
{

juce::File getDefaultFolder()
{
    return juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory);
}

juce::String getWelcomeText (juce::Time time)
{
    return Texts::Log::applicationStarted + time.toString (true, true, true, false);
}

std::unique_ptr<RuntimeLogger> create (const juce::File& appDataFolder, juce::Time startTime)
{
    return std::make_unique<RuntimeLogger> (appDataFolder, pathInAppData, getWelcomeText (startTime), maxInitialSize);
}

void install()
{
    // Lives until static destruction; uninstalls itself first so nothing logs into a deleted logger.
    struct Installed
    {
        Installed() : logger (create (getDefaultFolder(), juce::Time::getCurrentTime()))
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
