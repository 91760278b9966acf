#pragma once

#include <juce_core/juce_core.h>

#include <unistd.h>

#include <utility>

namespace platform
{
    /** A file descriptor that closes itself; -1 when there is none. */
    struct Descriptor
    {
        explicit Descriptor (int fdToOwn = -1) : fd (fdToOwn) {}
        ~Descriptor()                 { if (fd >= 0) ::close (fd); }
        Descriptor (Descriptor&& other) noexcept : fd (std::exchange (other.fd, -1)) {}
        Descriptor& operator= (Descriptor&& other) noexcept   { std::swap (fd, other.fd); return *this; }

        int fd;
    };

    /** The kernel's own link to the file open at `fd`: it leads to that very file, whatever its
        path leads to now.
    */
    inline juce::String kernelLinkTo (int fd)
    {
        return "/proc/self/fd/" + juce::String (fd);
    }
}
