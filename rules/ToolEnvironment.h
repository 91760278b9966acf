#pragma once

#include <juce_core/juce_core.h>

#include <vector>

namespace rules
{
    /** One variable of an environment, as `name=value`. */
    struct EnvironmentVariable
    {
        juce::String name, value;

        bool operator== (const EnvironmentVariable& other) const    { return name == other.name && value == other.value; }
    };

    /** How a system compares variable names and which of them make a program load code of the
        environment's choosing.
    */
    enum class EnvironmentKind
    {
        windows,   // names compare ignoring case
        posix      // names compare exactly; the dynamic loader's variables load code too
    };

    /** Whether the variable `name` makes a program started with it load code named by its value
        (a .NET profiler, startup hook or runtime, a Java agent, a script interpreter's start-up
        code; on POSIX also a preloaded or audited library).
    */
    bool loadsCode (const juce::String& name, EnvironmentKind kind);

    /** The environment the setup tool starts with, made from the program's own (`own`, in its
        order): the variables that load code left out; PATH the machine's own (`machinePath`; left
        out when that is empty); TEMP and TMP (and on POSIX TMPDIR) the tool's own temporary
        folder `temporaryFolder`, set whether or not they were there; every other variable as it
        was. The user decides the program's environment, so none of the user's choices of what the
        elevated tool loads or where it unpacks may pass on.
    */
    std::vector<EnvironmentVariable> makeToolEnvironment (const std::vector<EnvironmentVariable>& own,
                                                          const juce::String& machinePath,
                                                          const juce::String& temporaryFolder,
                                                          EnvironmentKind kind);
}
