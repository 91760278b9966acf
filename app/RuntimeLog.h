#pragma once

#include "RuntimeLogger.h"

/** The plain-text runtime log that every part of the program writes to through juce::Logger. */
namespace RuntimeLog
{
    /** Longer logs are cut to their last this-many bytes (from a line break) when the program starts. */
    constexpr juce::int64 maxInitialSize = 128 * 1024;

    /** Where the log lives below the user's application-data folder. */
    constexpr auto pathInAppData = "Keldmark/VantrelInstall/runtimeLog_shell.txt";

    /** The user's application-data folder, which the installed log lives below (at pathInAppData). */
    juce::File getDefaultFolder();

    /** "Application started at " and the time, e.g. "6 Dec 2026 11:46:27am". */
    juce::String getWelcomeText (juce::Time time);

    /** Opens the log at pathInAppData below `appDataFolder`, trimming it and appending the banner. */
    std::unique_ptr<RuntimeLogger> create (const juce::File& appDataFolder, juce::Time startTime);

    /** Creates the default log and installs it as the current logger until the process ends,
        so that lines written after shutdown still reach the file.
    */
    void install();
}
