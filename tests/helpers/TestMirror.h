#pragma once

#include <juce_core/juce_core.h>

/** The local HTTPS mirror (tools/mirror/mirror.py) on a free loopback port, for one test. */
class TestMirror
{
public:
    /** Starts the mirror with these extra arguments (e.g. "--mode", "404") serving `file`. */
    TestMirror (const juce::File& file, const juce::StringArray& extraArguments = {});
    ~TestMirror();

    juce::String getHost() const    { return "localhost:" + juce::String (port); }
    juce::String getUrl (const juce::String& path = "/VantrelInstall_winCN.exe") const;

    /** Lines of the mirror's request log (time port method path). */
    juce::StringArray getRequests() const;

    static juce::File getSourceDir()    { return juce::File (VANTREL_SOURCE_DIR); }

private:
    juce::TemporaryFile readyFile, requestLog;
    juce::ChildProcess process;
    int port = 0;

    JUCE_DECLARE_NON_COPYABLE (TestMirror)
};

/** A file with `size` bytes of a repeating pattern, deleted with the object. */
class TestPayload
{
public:
    explicit TestPayload (size_t size);
    const juce::File& getFile() const noexcept    { return file.getFile(); }
    juce::MemoryBlock getBytes() const;

private:
    juce::TemporaryFile file;
};
