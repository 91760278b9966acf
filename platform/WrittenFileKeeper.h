#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <mutex>
#include <utility>

namespace platform
{
    /** The file last written in a download folder, kept open from the moment its writer lets go
        until it is locked (or the folder removed), so that the lock takes that very file and
        never whatever another process put at its name meanwhile. `Held` is the system's owning
        handle (movable, empty when default-made). Shared by the folder with its writers' streams,
        which may outlive the folder object: each stream gives its file over as it goes.
    */
    template <typename Held>
    class WrittenFileKeeper
    {
    public:
        /** For a new writer: lets go of what is kept, and keeps what that writer will give over
            (nothing of an earlier one). Returns the number the writer gives its file over with.
        */
        int newWriter()
        {
            const std::scoped_lock lock (mutex);
            file = Held();
            keeping = true;
            return ++writers;
        }

        /** Called by the writer numbered `writer` as it goes: its file is kept when it is the
            last writer made and the folder has not been removed since; otherwise it just closes.
        */
        void giveOver (int writer, const juce::String& fileName, Held& written)
        {
            const std::scoped_lock lock (mutex);

            if (keeping && writer == writers)
            {
                name = fileName;
                file = std::move (written);
            }
        }

        /** The file kept for `wanted`, handed to the caller; empty when none is kept for it. */
        Held take (const juce::String& wanted)
        {
            const std::scoped_lock lock (mutex);
            return name == wanted ? std::exchange (file, Held()) : Held();
        }

        /** The folder is being removed: what is kept is let go, and writers still open just close. */
        void stopKeeping()
        {
            const std::scoped_lock lock (mutex);
            file = Held();
            keeping = false;
        }

    private:
        std::mutex mutex;
        juce::String name;
        Held file;
        bool keeping = true;
        int writers = 0;
    };

    /** What a writer's stream holds to give its file over as it goes (see WrittenFileKeeper). */
    template <typename Held>
    class WrittenFileHandOver
    {
    public:
        WrittenFileHandOver (const std::shared_ptr<WrittenFileKeeper<Held>>& keeper, const juce::String& fileName, int writerNumber)
            : keptBy (keeper), name (fileName), writer (writerNumber) {}

        void giveOver (Held& written) const
        {
            if (const auto keeper = keptBy.lock())
                keeper->giveOver (writer, name, written);
        }

    private:
        const std::weak_ptr<WrittenFileKeeper<Held>> keptBy;
        const juce::String name;
        const int writer;
    };
}
