#include "helpers/Scratch.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace
{
    int permissions (const juce::File& file)
    {
        struct stat info {};
        return ::lstat (file.getFullPathName().toRawUTF8(), &info) == 0 ? (int) (info.st_mode & 07777) : -1;
    }
}

TEST (DownloadFolder, IsMadeFreshAndForTheOwnerAlone)
{
    Scratch scratch;
    const auto folder = scratch.root.getChildFile ("run");

    ::umask (0);   // even with nothing masked, no one else gets in
    auto made = platform::createDownloadFolder (folder);
    ::umask (022);

    ASSERT_NE (made, nullptr);
    EXPECT_EQ (permissions (folder), 0700);

    // Never an existing folder, nor one a link points to: the folder must be ours from the start.
    const auto elsewhere = scratch.root.getChildFile ("elsewhere");
    elsewhere.createDirectory();
    ASSERT_EQ (::symlink (elsewhere.getFullPathName().toRawUTF8(), scratch.root.getChildFile ("link").getFullPathName().toRawUTF8()), 0);

    EXPECT_EQ (platform::createDownloadFolder (folder), nullptr);
    EXPECT_EQ (platform::createDownloadFolder (scratch.root.getChildFile ("link")), nullptr);
    EXPECT_EQ (platform::createDownloadFolder (scratch.root.getChildFile ("missing/run")), nullptr);
}

TEST (DownloadFolder, WhereTheTemporaryFolderCannotHoldAProtectedOneTheSystemsIsUsed)
{
    // The check's verdict on the user's temporary folder played through its seam: the folder
    // made there goes again, and the run's folder is made in the system's temporary folder.
    Scratch scratch;
    const auto temp = scratch.root.getChildFile ("temp");
    const auto name = juce::Uuid().toString();
    ASSERT_TRUE (temp.createDirectory());
    juce::File madeIn;
    auto folder = platform::createProtectedDownloadFolder (temp, name, madeIn, [temp] (const juce::File& made)
                                                           { return made.getParentDirectory() != temp; });
    ASSERT_NE (folder, nullptr);
    // Under a new name: the first could have been seen and taken there first.
    EXPECT_EQ (madeIn.getParentDirectory(), platform::getSystemTemporaryFolder());
    EXPECT_NE (madeIn.getFileName(), name);
    EXPECT_TRUE (madeIn.isDirectory() && ! temp.getChildFile (name).exists());
    EXPECT_TRUE (folder->remove() && folder->wasDeleted() && ! madeIn.exists());

    // Neither can: nothing is made anywhere.
    EXPECT_EQ (platform::createProtectedDownloadFolder (temp, name, madeIn, [] (const juce::File&) { return false; }), nullptr);
    EXPECT_FALSE (temp.getChildFile (name).exists());
}

TEST (DownloadFolder, LocksOnlyARegularFileThatIsThere)
{
    Scratch scratch;
    const auto folderPath = scratch.root.getChildFile ("run");
    auto folder = platform::createDownloadFolder (folderPath);
    ASSERT_NE (folder, nullptr);

    const auto file = folderPath.getChildFile ("tool.exe");
    ASSERT_TRUE (file.replaceWithText ("program"));
    folderPath.getChildFile ("subfolder").createDirectory();
    ASSERT_EQ (::symlink (file.getFullPathName().toRawUTF8(), folderPath.getChildFile ("link.exe").getFullPathName().toRawUTF8()), 0);

    const struct { const char* name; bool locks; } cases[] = {
        { "tool.exe", true }, { "missing.exe", false }, { "subfolder", false }, { "link.exe", false },
    };

    for (const auto& c : cases)
    {
        EXPECT_EQ (folder->lockFile (c.name), c.locks) << c.name;
        EXPECT_EQ (folder->getLockedFileSize(), c.locks ? 7 : -1) << c.name;   // a failed lock holds nothing
        EXPECT_EQ (folder->holdsFile (c.name), c.locks) << c.name;
    }

    EXPECT_TRUE (folder->lockFile ("tool.exe"));
    folder.reset();
    EXPECT_TRUE (folderPath.deleteRecursively());
}

TEST (DownloadFolder, FilesAreMadeInTheHeldFolderEvenWhenItsPathIsALinkNow)
{
    Scratch scratch;
    const auto folderPath = scratch.root.getChildFile ("run");
    auto folder = platform::createDownloadFolder (folderPath);
    ASSERT_NE (folder, nullptr);
    folderPath.getChildFile ("tool.exe").createDirectory();   // an empty folder is replaced, as a file is

    // The folder moved away and a link put in its place: what is made still goes into the held folder.
    const auto moved = scratch.root.getChildFile ("moved"), elsewhere = scratch.root.getChildFile ("elsewhere");
    ASSERT_TRUE (folderPath.moveFileTo (moved) && elsewhere.createDirectory());
    ASSERT_EQ (::symlink (elsewhere.getFullPathName().toRawUTF8(), folderPath.getFullPathName().toRawUTF8()), 0);

    ASSERT_NE (folder->createFile ("tool.exe"), nullptr);
    EXPECT_TRUE (moved.getChildFile ("tool.exe").existsAsFile());
    EXPECT_EQ (elsewhere.getNumberOfChildFiles (juce::File::findFilesAndDirectories), 0);

    // Locking goes by name into the held folder too: its file, never one the link leads to.
    ASSERT_TRUE (elsewhere.getChildFile ("planted.exe").replaceWithText ("not ours"));
    EXPECT_TRUE (folder->lockFile ("tool.exe"));
    EXPECT_FALSE (folder->lockFile ("planted.exe") || folder->holdsFile ("planted.exe"));
    elsewhere.getChildFile ("planted.exe").deleteFile();

    // Removing it empties the held folder and removes the link at its name, nothing it points to;
    // after that, nothing more is made through it.
    EXPECT_TRUE (folder->remove());
    EXPECT_FALSE (folderPath.existsAsFile() || folderPath.isSymbolicLink() || ! elsewhere.isDirectory());
    EXPECT_FALSE (moved.exists());
    EXPECT_EQ (folder->createFile ("tool.exe"), nullptr);
    EXPECT_FALSE (folder->createPlaceholderFolder ("tool.exe"));
}

TEST (DownloadFolder, TheWrittenFileStaysHeldFromItsWriterToTheLock)
{
    // The writer lets go at the end of the body and the lock comes a tick later: what is locked
    // and sized is the written file, even with another file (of the same account) put at its
    // name meanwhile, and the folder's path then leading to a folder with a larger one there.
    Scratch scratch;
    const auto folderPath = scratch.root.getChildFile ("run");
    auto folder = platform::createDownloadFolder (folderPath);
    ASSERT_NE (folder, nullptr);
    ASSERT_TRUE (folder->createFile ("tool.exe")->write ("written", 7));

    const auto other = scratch.root.getChildFile ("other.exe"), elsewhere = scratch.root.getChildFile ("elsewhere");
    ASSERT_TRUE (other.replaceWithText ("put in its place") && other.moveFileTo (folderPath.getChildFile ("tool.exe")));
    ASSERT_TRUE (folderPath.moveFileTo (scratch.root.getChildFile ("moved")) && elsewhere.createDirectory());
    ASSERT_TRUE (elsewhere.getChildFile ("tool.exe").replaceWithText ("where the path leads now"));
    ASSERT_EQ (::symlink (elsewhere.getFullPathName().toRawUTF8(), folderPath.getFullPathName().toRawUTF8()), 0);

    ASSERT_TRUE (folder->lockFile ("tool.exe"));
    EXPECT_EQ (folder->getLockedFileSize(), 7);
}

namespace
{
    /** The setup-tool stand-in, made to record its runs in `record`. */
    juce::MemoryBlock recordingProgram (const juce::File& record)
    {
        juce::MemoryBlock bytes;
        EXPECT_TRUE (juce::File (VANTREL_STANDIN).loadFileAsData (bytes));
        const auto trailer = "\nVANTREL-STANDIN record=" + record.getFullPathName();
        bytes.append (trailer.toRawUTF8(), trailer.getNumBytesAsUTF8());
        return bytes;
    }

    juce::StringArray recordLines (const juce::File& record)
    {
        juce::StringArray lines;
        record.readLines (lines);
        lines.removeEmptyStrings();
        return lines;
    }
}

TEST (DownloadFolder, StartsAndDeletesWhatItHoldsWhenAPathToItNowLeadsElsewhere)
{
    // The download locked and checked, then a path to it re-pointed before the start and the
    // clean-up: the per-run folder's own, or the temporary folder above it, now a link to a
    // folder that holds another program under the same name and a victim's file.
    for (const auto* swapped : { "per-run folder", "folder above" })
    {
        SCOPED_TRACE (swapped);
        Scratch scratch;
        const auto temp = scratch.root.getChildFile ("temp"), folderPath = temp.getChildFile ("run");
        const auto checkedRecord = scratch.root.getChildFile ("checked.txt"), otherRecord = scratch.root.getChildFile ("other.txt");
        ASSERT_TRUE (temp.createDirectory());
        auto folder = platform::createDownloadFolder (folderPath);
        ASSERT_NE (folder, nullptr);

        const auto program = recordingProgram (checkedRecord);
        ASSERT_TRUE (folder->createFile ("tool.exe")->write (program.getData(), program.getSize()));
        ASSERT_TRUE (folder->lockFile ("tool.exe"));

        const auto other = scratch.root.getChildFile ("other");
        const auto otherFolder = juce::String (swapped) == "folder above" ? other.getChildFile ("run") : other;
        const auto moved = juce::String (swapped) == "folder above" ? temp : folderPath;
        ASSERT_TRUE (otherFolder.createDirectory());
        const auto otherProgram = recordingProgram (otherRecord);
        ASSERT_TRUE (otherFolder.getChildFile ("tool.exe").replaceWithData (otherProgram.getData(), otherProgram.getSize()));
        ASSERT_TRUE (otherFolder.getChildFile ("tool.exe").setExecutePermission (true));
        ASSERT_TRUE (otherFolder.getChildFile ("victim.txt").replaceWithText ("the victim's"));
        const auto movedTo = moved.getSiblingFile ("moved");
        const auto heldNow = moved == temp ? movedTo.getChildFile ("run") : movedTo;
        ASSERT_TRUE (moved.moveFileTo (movedTo));
        ASSERT_EQ (::symlink (other.getFullPathName().toRawUTF8(), moved.getFullPathName().toRawUTF8()), 0);

        // What runs is the checked program, in the held folder.
        auto start = folder->startLockedFile();
        ASSERT_NE (start.program, nullptr);

        waitFor ([&] { return ! start.program->isRunning(); });

        const auto started = recordLines (checkedRecord);
        ASSERT_EQ (started.size(), 2) << started.joinIntoString ("\n").toStdString();
        EXPECT_TRUE (started[0].fromFirstOccurrenceOf (" cwd=", false, false).contains (heldNow.getFullPathName())) << started[0];
        EXPECT_FALSE (otherRecord.exists());

        // Deleted through the hold: the held folder's file, never what the path leads to.
        EXPECT_TRUE (folder->remove());
        EXPECT_FALSE (heldNow.exists());
        EXPECT_EQ (otherFolder.getChildFile ("victim.txt").loadFileAsString(), "the victim's");
        juce::MemoryBlock otherNow;
        EXPECT_TRUE (otherFolder.getChildFile ("tool.exe").loadFileAsData (otherNow) && otherNow == otherProgram);
    }
}

TEST (DownloadFolder, AFolderKeptAfterARemovalThatFailedStillGivesItsToolATemporaryFolder)
{
    // A removal that cannot finish (here: nesting deeper than it empties) keeps the folder for the
    // next attempt, as one still being written does; its tool must start all the same, with its
    // TEMP in the folder.
    Scratch scratch;
    const auto folderPath = scratch.root.getChildFile ("run"), record = scratch.root.getChildFile ("record.txt");
    auto folder = platform::createDownloadFolder (folderPath);
    ASSERT_NE (folder, nullptr);
    const auto deep = folderPath.getChildFile ("a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a");
    ASSERT_TRUE (deep.createDirectory());
    ASSERT_FALSE (folder->remove());
    ASSERT_TRUE (folderPath.getChildFile ("a").deleteRecursively());

    const auto program = recordingProgram (record);
    ASSERT_TRUE (folder->createFile ("tool.exe")->write (program.getData(), program.getSize()));
    ASSERT_TRUE (folder->lockFile ("tool.exe"));
    auto start = folder->startLockedFile();
    ASSERT_NE (start.program, nullptr) << start.refusal.getErrorMessage();
    waitFor ([&] { return ! start.program->isRunning(); });

    const auto started = recordLines (record);
    ASSERT_FALSE (started.isEmpty());
    EXPECT_TRUE (started[0].contains ("\"TEMP\":\"" + folderPath.getChildFile (platform::toolTemporaryFolderName).getFullPathName() + "\""))
        << started[0];
    EXPECT_TRUE (folder->remove() && folder->wasDeleted());
}
