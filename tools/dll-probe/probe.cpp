// Loads each DLL named on the command line as the framework does at run time (LoadLibrary by
// bare name) and prints where each came from, for the DLL search test under Wine. Built twice:
// as is, and with the executable's own DLL search hardening linked in.

#include <windows.h>

#include <cstdio>

int main (int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        wchar_t path[MAX_PATH] = L"";

        if (const auto module = LoadLibraryA (argv[i]))
            GetModuleFileNameW (module, path, MAX_PATH);

        std::printf ("%s -> %ls\n", argv[i], path);
    }

    return 0;
}
