#pragma once

#include <juce_core/juce_core.h>

#include <functional>

/** An empty folder of the test's own, removed with everything in it at the end. */
struct Scratch
{
    juce::TemporaryFile base;
    juce::File root = base.getFile();
    Scratch()  { root.createDirectory(); }
    ~Scratch() { root.deleteRecursively(); }
};

/** Waits until `done` holds, looking every 10 ms for up to `timeoutMs`: a hang bound, not a speed
    goal, so generous. Whether it held at the end. */
inline bool waitFor (const std::function<bool()>& done, int timeoutMs = 20000)
{
    for (const auto until = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
         ! done() && juce::Time::getMillisecondCounter() < until;)
        juce::Thread::sleep (10);

    return done();
}
