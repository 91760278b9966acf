/*
    Drives the platform layer's download folder as the installer does, for the tests under Wine,
    with a pause at each step where another process may re-point a path:

        folder-probe <folder> <program>

    makes <folder> as a download folder, writes <program>'s bytes into it as "tool.exe" and locks
    that file, then prints "locked" and waits for a line on its input; starts the locked file and
    prints "started", "refused <why>" or "not started"; once it has ended (at most 60 s), prints
    "ended" and waits for a line; removes the folder and prints "removed" or "kept".
*/
#include "platform/Platform.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace
{
    void say (const juce::String& line)
    {
        std::fputs ((line + "\n").toRawUTF8(), stdout);
        std::fflush (stdout);
    }

    void waitForGo()
    {
        std::string line;
        std::getline (std::cin, line);
    }
}

int main (int argc, char** argv)
{
    if (argc != 3)
    {
        std::fputs ("usage: folder-probe <folder> <program>\n", stderr);
        return 2;
    }

    juce::MemoryBlock program;
    auto folder = platform::createDownloadFolder (juce::File (juce::String (argv[1])));
    auto output = folder != nullptr ? folder->createFile ("tool.exe") : nullptr;

    if (! juce::File (juce::String (argv[2])).loadFileAsData (program) || output == nullptr
         || ! output->write (program.getData(), program.getSize()))
    {
        say ("cannot make it");
        return 1;
    }

    output.reset();

    if (! folder->lockFile ("tool.exe"))
    {
        say ("cannot lock it");
        return 1;
    }

    say ("locked");
    waitForGo();

    auto start = folder->startLockedFile();
    say (start.program != nullptr ? "started" : start.refusal.isNotEmpty() ? "refused " + start.refusal : "not started");

    for (int i = 0; i < 600 && start.program != nullptr && start.program->isRunning(); ++i)
        juce::Thread::sleep (100);

    say ("ended");
    waitForGo();
    say (folder->remove() ? "removed" : "kept");
    return 0;
}
