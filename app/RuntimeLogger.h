#pragma once

#include <juce_core/juce_core.h>

/** The runtime log's writer: the framework's FileLogger format (trimmed on opening, a banner,
    every message followed by CR LF, UTF-8), but each line appended in one write that other
    instances of the program appending at the same moment cannot overwrite. The framework's own
    logger reopens the file at its start position for every line (lines of two instances
    overwrite each other) and, on Windows, locks others out while it writes (their lines are lost).
*/
class RuntimeLogger final : public juce::Logger
{
public:
    RuntimeLogger (const juce::File& file, const juce::String& welcomeMessage, juce::int64 maxInitialFileSizeBytes);

    void logMessage (const juce::String& message) override;

private:
    static constexpr int maxFolderAttempts = 16;

    const juce::File logFile;
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RuntimeLogger)
};
