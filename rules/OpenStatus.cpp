#include "OpenStatus.h"

namespace rules
{

OpenOutcome judgeOpenStatus (std::uint32_t ntStatus)
{
    if (ntStatus == 0)
        return OpenOutcome::opened;

    // Errors and warnings have the high bit set; the rest are successes of other kinds.
    return (ntStatus & 0x80000000u) != 0 ? OpenOutcome::failed : OpenOutcome::notAvailable;
}

} // namespace rules
