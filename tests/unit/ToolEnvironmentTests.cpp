#include "rules/ToolEnvironment.h"

#include <gtest/gtest.h>

using rules::EnvironmentKind;
using Variables = std::vector<rules::EnvironmentVariable>;

TEST (ToolEnvironment, LeavesOutWhatLoadsCodeAndSetsPathAndTemporaryFolders)
{
    // The user's environment as an elevated program inherits it, in its order.
    const Variables own {
        { "=C:", "C:\\Users\\u" }, { "ALLUSERSPROFILE", "C:\\ProgramData" }, { "Path", "C:\\Users\\u\\bin;C:\\Windows" },
        { "TEMP", "C:\\Users\\u\\AppData\\Local\\Temp" }, { "tmp", "C:\\Users\\u\\AppData\\Local\\Temp" },
        { "COR_ENABLE_PROFILING", "1" }, { "cor_profiler", "{guid}" }, { "COR_PROFILER_PATH_64", "C:\\u\\p.dll" },
        { "CORECLR_PROFILER_PATH", "C:\\u\\p.dll" }, { "DOTNET_STARTUP_HOOKS", "C:\\u\\h.dll" },
        { "DOTNET_ADDITIONAL_DEPS", "C:\\u" }, { "COMPlus_JitName", "C:\\u\\jit.dll" }, { "JAVA_TOOL_OPTIONS", "-javaagent:a.jar" },
        { "LD_PRELOAD", "/u/p.so" }, { "VANTREL_USER_SETTING", "kept as it is" }, { "CORPORATE_PROXY", "p:8080" },
    };
    const auto windows = rules::makeToolEnvironment (own, "C:\\Windows\\system32;C:\\Windows", "C:\\T\\run\\temp", EnvironmentKind::windows);
    const Variables expectedOnWindows {
        { "=C:", "C:\\Users\\u" }, { "ALLUSERSPROFILE", "C:\\ProgramData" },
        { "LD_PRELOAD", "/u/p.so" },   // nothing a Windows program loads
        { "VANTREL_USER_SETTING", "kept as it is" }, { "CORPORATE_PROXY", "p:8080" },
        { "PATH", "C:\\Windows\\system32;C:\\Windows" }, { "TEMP", "C:\\T\\run\\temp" }, { "TMP", "C:\\T\\run\\temp" },
    };
    EXPECT_EQ (windows, expectedOnWindows);

    // POSIX names are exact: "tmp" and "cor_profiler" are other variables; the loader's are left out.
    const auto posix = rules::makeToolEnvironment ({ own[1], own[4], own[6], own[13], own[14], { "PATH", "/u/bin:/usr/bin" },
                                                     { "TMPDIR", "/u/tmp" }, { "LD_LIBRARY_PATH", "/u/lib" } },
                                                   "/usr/bin:/bin", "/tmp/run/temp", EnvironmentKind::posix);
    const Variables expectedOnPosix {
        own[1], own[4], own[6], own[14], { "PATH", "/usr/bin:/bin" },
        { "TEMP", "/tmp/run/temp" }, { "TMP", "/tmp/run/temp" }, { "TMPDIR", "/tmp/run/temp" },
    };
    EXPECT_EQ (posix, expectedOnPosix);

    // No machine PATH known: none rather than the user's.
    EXPECT_EQ (rules::makeToolEnvironment ({ { "PATH", "/u/bin" } }, {}, "/t", EnvironmentKind::posix),
               (Variables { { "TEMP", "/t" }, { "TMP", "/t" }, { "TMPDIR", "/t" } }));
}
