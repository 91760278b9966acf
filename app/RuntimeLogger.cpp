#include "RuntimeLogger.h"

#include "platform/Platform.h"

RuntimeLogger::RuntimeLogger (const juce::File& file, const juce::String& welcomeMessage,
                              juce::int64 maxInitialFileSizeBytes)
    : logFile (file)
{
    if (maxInitialFileSizeBytes >= 0)
        juce::FileLogger::trimFileSize (logFile, maxInitialFileSizeBytes);

    // Instances started together may make the missing folders at the same moment; the framework
    // gives up when a folder it is making appears meanwhile, so try again: each try gets further.
    const auto folder = logFile.getParentDirectory();

    for (int attempt = 0; attempt < maxFolderAttempts && ! folder.isDirectory(); ++attempt)
        folder.createDirectory();

    juce::String banner;
    banner << juce::newLine
           << "**********************************************************" << juce::newLine
           << welcomeMessage << juce::newLine
           << "Log started: " << juce::Time::getCurrentTime().toString (true, true) << juce::newLine;

    logMessage (banner);
}

void RuntimeLogger::logMessage (const juce::String& message)
{
    const auto line = message + juce::newLine;
    const juce::ScopedLock scopedLock (lock);

    // A log that cannot be written loses its lines; the program runs on.
    platform::appendToFile (logFile, line.toRawUTF8(), line.getNumBytesAsUTF8());
}
