#include "RuntimeLogger.h"

#include "constants/Texts.h"
#include "platform/Platform.h"

RuntimeLogger::RuntimeLogger (const juce::File& folder, const juce::String& relativePath,
                              const juce::String& welcomeMessage, juce::int64 maxInitialFileSizeBytes)
    : logFile (platform::openLogFile (folder, relativePath, maxInitialFileSizeBytes))
{
    juce::String banner;
    banner << juce::newLine
           << Texts::Log::bannerStars << juce::newLine
           << welcomeMessage << juce::newLine
           << Texts::Log::logStarted << juce::Time::getCurrentTime().toString (true, true) << juce::newLine;

    logMessage (banner);
}

RuntimeLogger::~RuntimeLogger() = default;

void RuntimeLogger::logMessage (const juce::String& message)
{
    if (logFile == nullptr)
        return;   // lost: the program runs on without its log

    const auto line = message + juce::newLine;
    const juce::ScopedLock scopedLock (lock);
    logFile->append (line.toRawUTF8(), line.getNumBytesAsUTF8());
}
