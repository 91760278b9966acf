#include "ToolEnvironment.h"

namespace rules
{

namespace
{
    bool sameName (const juce::String& a, const juce::String& b, EnvironmentKind kind)
    {
        return kind == EnvironmentKind::windows ? a.equalsIgnoreCase (b) : a == b;
    }

    bool startsWithName (const juce::String& name, const char* prefix, EnvironmentKind kind)
    {
        return kind == EnvironmentKind::windows ? name.startsWithIgnoreCase (prefix) : name.startsWith (prefix);
    }

    bool isTemporaryFolderName (const juce::String& name, EnvironmentKind kind)
    {
        return sameName (name, "TEMP", kind) || sameName (name, "TMP", kind)
            || (kind == EnvironmentKind::posix && name == "TMPDIR");
    }
}

bool loadsCode (const juce::String& name, EnvironmentKind kind)
{
    // .NET Framework and Core: profilers, startup hooks, extra dependencies, the runtime and
    // JIT chosen by name (COMPlus_ and DOTNET_ are the same settings); Java agents; the start-up
    // code of the script interpreters a setup tool may run.
    static const char* const prefixes[] = { "COR_PROFILER", "CORECLR_", "COMPlus_", "DOTNET_" };
    static const char* const names[] = { "COR_ENABLE_PROFILING", "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS",
                                         "NODE_OPTIONS", "PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "PERL5LIB",
                                         "PERL5OPT", "PERLLIB", "RUBYOPT", "RUBYLIB" };
    // What glibc itself ignores for a program that gains rights: libraries loaded before all others.
    static const char* const posixNames[] = { "LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT", "GCONV_PATH" };

    for (const auto* prefix : prefixes)
        if (startsWithName (name, prefix, kind))
            return true;

    for (const auto* known : names)
        if (sameName (name, known, kind))
            return true;

    if (kind == EnvironmentKind::posix)
        for (const auto* known : posixNames)
            if (name == known)
                return true;

    return false;
}

std::vector<EnvironmentVariable> makeToolEnvironment (const std::vector<EnvironmentVariable>& own,
                                                      const juce::String& machinePath,
                                                      const juce::String& temporaryFolder,
                                                      EnvironmentKind kind)
{
    std::vector<EnvironmentVariable> made;

    for (const auto& variable : own)
        if (! loadsCode (variable.name, kind) && ! sameName (variable.name, "PATH", kind)
             && ! isTemporaryFolderName (variable.name, kind))
            made.push_back (variable);

    if (machinePath.isNotEmpty())
        made.push_back ({ "PATH", machinePath });

    for (const auto* name : { "TEMP", "TMP", "TMPDIR" })
        if (isTemporaryFolderName (name, kind))
            made.push_back ({ name, temporaryFolder });

    return made;
}

} // namespace rules
