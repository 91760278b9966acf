#pragma once

#include <chrono>

namespace platform
{

/** A point in time a wait must end by, on the monotonic clock: unlike the framework's 32-bit
    millisecond counter it does not wrap (every 49.7 days), so a deadline set just before the
    wrap does not read as long past.
*/
class Deadline
{
public:
    explicit Deadline (int milliseconds)
        : end (std::chrono::steady_clock::now() + std::chrono::milliseconds (milliseconds)) {}

    bool hasPassed() const     { return std::chrono::steady_clock::now() >= end; }

    /** Milliseconds left, 0 once passed. */
    int remainingMs() const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds> (end - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<int> (left.count()) : 0;
    }

private:
    const std::chrono::steady_clock::time_point end;
};

} // namespace platform
