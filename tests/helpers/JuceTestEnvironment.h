#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The logger installed for the tests: keeps every line so that a test can check what was logged. */
class CapturingLogger final : public juce::Logger
{
public:
    static CapturingLogger& get();

    /** The lines logged since the last call. */
    juce::StringArray takeLines();

private:
    void logMessage (const juce::String& message) override;

    juce::CriticalSection mutex;
    juce::StringArray lines;
};
