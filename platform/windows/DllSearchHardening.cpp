// Linked into each Windows executable directly (a static library would drop it: nothing
// refers to it). Runs before every other static initialiser, the framework's included, so that
// every DLL loaded at run time, delay-loaded imports among them, comes from the system folder
// and never from beside the executable or the current folder.

#include <windows.h>

namespace
{
    struct RestrictDllSearchToSystemFolder
    {
        RestrictDllSearchToSystemFolder()
        {
            // Looked up rather than imported: Windows 7 without its 2011 loader update lacks it.
            using SetDefaultDllDirectoriesFn = BOOL (WINAPI*) (DWORD);
            const auto kernel = GetModuleHandleW (L"kernel32.dll");

            if (auto* setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn> (
                    reinterpret_cast<void*> (GetProcAddress (kernel, "SetDefaultDllDirectories"))))
                setDefault (LOAD_LIBRARY_SEARCH_SYSTEM32);

            SetDllDirectoryW (L"");   // the current folder out of the older search order too
        }
    };

    const RestrictDllSearchToSystemFolder restrictDllSearch __attribute__ ((init_priority (101)));
}
