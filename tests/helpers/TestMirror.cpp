#include "TestMirror.h"
#include "Scratch.h"

#include <gtest/gtest.h>

TestMirror::TestMirror (const juce::File& file, const juce::StringArray& extraArguments)
{
    juce::StringArray command { "/usr/bin/python3",
                                getSourceDir().getChildFile ("tools/mirror/mirror.py").getFullPathName(),
                                "--port", "0",
                                "--ca-dir", getSourceDir().getChildFile ("build/testca").getFullPathName(),
                                "--file", file.getFullPathName(),
                                "--ready-file", readyFile.getFile().getFullPathName(),
                                "--request-log", requestLog.getFile().getFullPathName() };
    command.addArray (extraArguments);

    if (! process.start (command, 0))
        throw std::runtime_error ("cannot start the test mirror");

    const auto ready = [this]
    {
        port = readyFile.getFile().loadFileAsString().trim().upToFirstOccurrenceOf ("\n", false, false).getIntValue();
        return port != 0;
    };

    if (! waitFor (ready))
        throw std::runtime_error ("the test mirror did not come up");
}

TestMirror::~TestMirror()
{
    process.kill();
}

juce::String TestMirror::getUrl (const juce::String& path) const
{
    return "https://" + getHost() + path;
}

juce::StringArray TestMirror::getRequests() const
{
    return juce::StringArray::fromLines (requestLog.getFile().loadFileAsString().trim());
}

TestPayload::TestPayload (size_t size)
{
    juce::MemoryBlock bytes (size);

    for (size_t i = 0; i < size; ++i)
        bytes[i] = (char) ((i * 31 + i / 251) & 0xff);

    file.getFile().replaceWithData (bytes.getData(), bytes.getSize());
}

juce::MemoryBlock TestPayload::getBytes() const
{
    juce::MemoryBlock bytes;
    file.getFile().loadFileAsData (bytes);
    return bytes;
}
