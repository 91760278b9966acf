/*
    Drives the platform layer's download folder as the installer does, for the tests under Wine,
    with a pause at each step where another process may re-point a path:

        folder-probe <folder> <program>

    makes <folder> as a download folder, writes <program>'s bytes into it as "tool.exe", lets the
    writer go and prints "written", waits for a line on its input; locks that file, then prints
    "locked" and waits for a line; starts the locked file and prints "started", "refused <why>"
    or "not started"; once it has ended (at most 60 s), prints "ended" and waits for a line;
    removes the folder and prints "removed" or "kept".

        folder-probe places <temp>

    makes a download folder named by a new identifier in <temp>, the system's check alone
    judging it, then another with the check's seam refusing <temp>; for each prints
    "made <folder>" (or "none") and "removed" or "kept" once it is removed.

        folder-probe pending <folder> file|folder

    makes <folder> as a download folder with a file in it, and holds for half a second after
    removing begins, as a tool that has just exited may: the file (by another handle, with delete
    sharing) or the folder (without delete sharing, as a working folder is held). Removes it as
    the program does after the tool (removeWithin, its patience); prints "removed" or "kept".

        folder-probe protection

    reads lines "<token owner SID> <token user SID> <security descriptor in SDDL>" and prints for
    each the platform layer's decision on a folder read back with that descriptor: "holds", or
    why a process that is not elevated could change it ("unreadable" when the line is not one).

        folder-probe signature <folder> <program> <signer list>

    makes <folder> as a download folder, writes <program>'s bytes into it, locks that file and
    checks its signature against <signer list> (as the build constant names the signers); prints
    "allowed" or why it must not start; removes the folder.

        folder-probe discard

    lets a download task go whose destructor waits until it is told to end; prints "returned"
    when letting it go returned first, "waited" when it ran the destructor itself.
*/
#include "constants/Timings.h"
#include "download/SignerList.h"
#include "platform/Platform.h"
#include "platform/windows/FolderProtection.h"

#include <windows.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

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

namespace
{
    struct BlockingTask final : public juce::URL::DownloadTask
    {
        BlockingTask (juce::WaitableEvent& e, std::atomic<bool>& d) : release (e), destroyed (d) {}
        ~BlockingTask() override   { release.wait (10000); destroyed = true; }

        juce::WaitableEvent& release;
        std::atomic<bool>& destroyed;
    };

    int discard()
    {
        juce::WaitableEvent release;
        std::atomic<bool> destroyed { false };
        platform::discardDownload (std::make_unique<BlockingTask> (release, destroyed));
        say (destroyed ? "waited" : "returned");
        release.signal();

        for (int i = 0; i < 1000 && ! destroyed; ++i)
            juce::Thread::sleep (10);

        return destroyed ? 0 : 1;
    }
}

namespace
{
    int places (const juce::File& temp)
    {
        const platform::ProtectionCheck refusingTemp = [temp] (const juce::File& made) { return made.getParentDirectory() != temp; };

        for (const auto& allowed : { platform::ProtectionCheck(), refusingTemp })
        {
            juce::File made;
            auto folder = platform::createProtectedDownloadFolder (temp, juce::Uuid().toString(), made, allowed);
            say (folder != nullptr ? "made " + made.getFullPathName() : juce::String ("none"));

            if (folder != nullptr)
                say (folder->remove() && folder->wasDeleted() ? "removed" : "kept");
        }

        return 0;
    }
}

namespace
{
    int pending (const juce::File& made, const juce::String& held)
    {
        auto folder = platform::createDownloadFolder (made);
        auto output = folder != nullptr ? folder->createFile ("tool.exe") : nullptr;

        if (output == nullptr || ! output->writeText ("MZ", false, false, nullptr))
        {
            say ("cannot make it");
            return 1;
        }

        output.reset();
        const auto holdsFile = held == "file";
        const auto other = CreateFileW ((holdsFile ? made.getChildFile ("tool.exe") : made).getFullPathName().toWideCharPointer(),
                                        GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | (holdsFile ? FILE_SHARE_DELETE : 0),
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);

        if (other == INVALID_HANDLE_VALUE)
        {
            say ("cannot hold it");
            return 1;
        }

        std::thread letGo ([other] { Sleep (500); CloseHandle (other); });
        say (folder->removeWithin (Timings::pendingDeletionWait) && folder->wasDeleted() ? "removed" : "kept");
        letGo.join();
        return 0;
    }
}

namespace
{
    int protection()
    {
        for (std::string line; std::getline (std::cin, line);)
        {
            const auto fields = juce::StringArray::fromTokens (juce::String (line).trim(), " ", {});
            PSID owner = nullptr, user = nullptr;
            PSECURITY_DESCRIPTOR descriptor = nullptr;

            if (fields.size() == 3 && ConvertStringSidToSidW (fields[0].toWideCharPointer(), &owner)
                 && ConvertStringSidToSidW (fields[1].toWideCharPointer(), &user)
                 && ConvertStringSecurityDescriptorToSecurityDescriptorW (fields[2].toWideCharPointer(), SDDL_REVISION_1,
                                                                          &descriptor, nullptr))
            {
                const auto fault = platform::findProtectionFault (descriptor, owner, user);
                say (fault.isEmpty() ? juce::String ("holds") : fault);
            }
            else
            {
                say ("unreadable");
            }

            for (auto* allocated : { owner, user, descriptor })
                LocalFree (allocated);
        }

        return 0;
    }
}

namespace
{
    int signature (const juce::File& made, const juce::File& program, const juce::String& signers)
    {
        juce::MemoryBlock bytes;
        auto folder = platform::createDownloadFolder (made);
        auto output = folder != nullptr ? folder->createFile ("tool.exe") : nullptr;

        if (! program.loadFileAsData (bytes) || output == nullptr || ! output->write (bytes.getData(), bytes.getSize()))
        {
            say ("cannot make it");
            return 1;
        }

        output.reset();
        const auto list = SignerList::parse (signers);

        if (! folder->lockFile ("tool.exe") || list.getError().isNotEmpty())
        {
            say ("cannot lock it or read the list: " + list.getError());
            return 1;
        }

        const auto checked = folder->checkSignature ([&list] (const platform::SignerIdentity& signer) { return list.allows (signer); });
        say (checked.wasOk() ? juce::String ("allowed") : checked.getErrorMessage());
        return folder->remove() ? 0 : 1;
    }
}

int main (int argc, char** argv)
{
    if (argc == 5 && juce::String (argv[1]) == "signature")
        return signature (juce::File (juce::String (argv[2])), juce::File (juce::String (argv[3])), argv[4]);

    if (argc == 2 && juce::String (argv[1]) == "protection")
        return protection();

    if (argc == 4 && juce::String (argv[1]) == "pending")
        return pending (juce::File (juce::String (argv[2])), argv[3]);

    if (argc == 2 && juce::String (argv[1]) == "discard")
        return discard();

    if (argc == 3 && juce::String (argv[1]) == "places")
        return places (juce::File (juce::String (argv[2])));

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
    say ("written");
    waitForGo();

    if (! folder->lockFile ("tool.exe"))
    {
        say ("cannot lock it");
        return 1;
    }

    say ("locked");
    waitForGo();

    auto start = folder->startLockedFile();
    say (start.program != nullptr ? "started" : start.refusal.failed() ? "refused " + start.refusal.getErrorMessage() : "not started");

    for (int i = 0; i < 600 && start.program != nullptr && start.program->isRunning(); ++i)
        juce::Thread::sleep (100);

    say ("ended");
    waitForGo();
    say (folder->remove() ? "removed" : "kept");
    return 0;
}
