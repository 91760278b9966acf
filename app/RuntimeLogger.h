#pragma once

#include <juce_core/juce_core.h>

namespace platform { class LogFile; }

/** The runtime log's writer: the framework's FileLogger format (trimmed on opening, a banner,
    every message followed by CR LF, UTF-8), but each line appended in one write that other
    instances of the program appending at the same moment cannot overwrite. The framework's own
    logger reopens the file at its start position for every line (lines of two instances
    overwrite each other) and, on Windows, locks others out while it writes (their lines are lost).
    The file is opened once, never through a link (platform::openLogFile); when it cannot be,
    the lines are lost and the program runs on.
*/
class RuntimeLogger final : public juce::Logger
{
public:
    /** The log at `relativePath` ('/' between names) below `folder`. */
    RuntimeLogger (const juce::File& folder, const juce::String& relativePath,
                   const juce::String& welcomeMessage, juce::int64 maxInitialFileSizeBytes);
    ~RuntimeLogger() override;

    void logMessage (const juce::String& message) override;

private:
    const std::unique_ptr<platform::LogFile> logFile;
    juce::CriticalSection lock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RuntimeLogger)
};
