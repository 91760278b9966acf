#pragma once

#include "platform/Platform.h"

namespace platform
{
    /** Starts the program open at descriptor `file` itself (no path is looked up), with the
        folder open at descriptor `folder` as its working folder, no arguments but `name` as its
        own, and its output not captured; its environment the program's as
        rules::makeToolEnvironment makes it, with `temporaryFolder` as TEMP, TMP and TMPDIR. Null
        when it is not a whole program of this machine's kind, or cannot be started.
    */
    std::unique_ptr<StartedProgram> startProgramFile (int file, int folder, const juce::String& name,
                                                      const juce::String& temporaryFolder);
}
