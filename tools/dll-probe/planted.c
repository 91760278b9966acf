/* A DLL that only leaves a trace: "<its own path>.loaded" once it is loaded into a process.
   Copied under the name of a system DLL beside a program, it shows whether the program took it. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void) reserved;

    if (reason == DLL_PROCESS_ATTACH)
    {
        wchar_t path[MAX_PATH + 16];
        const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
        HANDLE trace;

        lstrcpyW(path + length, L".loaded");
        trace = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);

        if (trace != INVALID_HANDLE_VALUE)
            CloseHandle(trace);
    }

    return TRUE;
}
