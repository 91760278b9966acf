#include "Platform.h"
#include "Deadline.h"

#include "constants/Timings.h"

namespace platform
{

bool DownloadFolder::removeWithin (std::chrono::milliseconds patience)
{
    const Deadline deadline (Timings::inMilliseconds (patience));
    auto removed = remove();

    for (; ! removed && ! deadline.hasPassed(); removed = remove())
        juce::Thread::sleep (Timings::inMilliseconds (Timings::attemptPoll));

    return removed;
}

std::unique_ptr<DownloadFolder> createDownloadFolder (const juce::File& folder)
{
    return makeDownloadFolder (folder).folder;
}

std::unique_ptr<DownloadFolder> createProtectedDownloadFolder (const juce::File& temporaryFolder, const juce::String& name,
                                                               juce::File& madeIn, const ProtectionCheck& allowed)
{
    madeIn = temporaryFolder.getChildFile (name);
    auto made = makeDownloadFolder (madeIn, allowed);

    // Only a folder made but unprotected is looked for elsewhere: one that cannot be made at all
    // fails as a network failure does, and is tried again where it was.
    if (! made.unprotected)
        return std::move (made.folder);

    const auto system = getSystemTemporaryFolder();

    if (system == juce::File())
        return nullptr;

    // A name of its own: the first may have been seen (logged, or watched for in the user's
    // folder) by a program that could make it first in the system's folder, open to every user.
    const auto instead = system.getChildFile (juce::Uuid().toString());
    auto there = makeDownloadFolder (instead, allowed);

    if (there.folder != nullptr)
        madeIn = instead;

    return std::move (there.folder);
}

} // namespace platform
