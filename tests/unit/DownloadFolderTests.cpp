#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace
{
    struct Scratch
    {
        juce::TemporaryFile base;
        juce::File root = base.getFile();
        Scratch()  { root.createDirectory(); }
        ~Scratch() { root.deleteRecursively(); }
    };

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
        EXPECT_EQ (folder->lockFile (folderPath.getChildFile (c.name)), c.locks) << c.name;

    // A failed lock leaves nothing held; a lock can be taken again after it is let go.
    folder->unlockFile();
    EXPECT_TRUE (folder->lockFile (file));
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
    EXPECT_TRUE (folder->lockFile (folderPath.getChildFile ("tool.exe")));
    EXPECT_FALSE (folder->lockFile (folderPath.getChildFile ("planted.exe")));
    folder->unlockFile();
    elsewhere.getChildFile ("planted.exe").deleteFile();

    // Deleting the folder by its path removes the link alone.
    platform::deleteDownloadFolder (folderPath);
    EXPECT_FALSE (folderPath.existsAsFile() || folderPath.isSymbolicLink() || ! elsewhere.isDirectory());
}
