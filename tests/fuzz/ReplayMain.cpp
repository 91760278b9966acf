// Runs every file of a corpus folder once through the target, without libFuzzer: the seeds and
// the inputs a fuzz run found, as a unit test of the normal build.
#include <juce_core/juce_core.h>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);

int main (int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf (stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }

    const juce::File folder (juce::File::getCurrentWorkingDirectory().getChildFile (argv[1]));
    auto files = folder.findChildFiles (juce::File::findFiles, false);
    files.sort();

    // An empty or missing folder would pass without checking anything.
    if (files.isEmpty())
    {
        std::fprintf (stderr, "no inputs in %s\n", folder.getFullPathName().toRawUTF8());
        return 1;
    }

    for (const auto& file : files)
    {
        juce::MemoryBlock bytes;

        if (! file.loadFileAsData (bytes))
        {
            std::fprintf (stderr, "cannot read %s\n", file.getFullPathName().toRawUTF8());
            return 1;
        }

        std::fprintf (stderr, "%s\n", file.getFileName().toRawUTF8());
        LLVMFuzzerTestOneInput (static_cast<const uint8_t*> (bytes.getData()), bytes.getSize());
    }

    std::printf ("%d inputs replayed from %s\n", files.size(), folder.getFullPathName().toRawUTF8());
    return 0;
}
