#pragma once

#include <cstdint>

namespace rules
{
    /** What an open came to, by the status the system returned for it. */
    enum class OpenOutcome
    {
        opened,         // the handle is the caller's to use
        notAvailable,   // another process holds the name (an oplock break is in progress): the
                        // handle, if one came, is closed unused, as if the open had failed
        failed
    };

    /** An NT status from NtCreateFile asked with FILE_COMPLETE_IF_OPLOCKED, which makes an open
        that another process's opportunistic lock would hold up return at once with
        STATUS_OPLOCK_BREAK_IN_PROGRESS: a success code, whose handle would wait in its first use
        until that process lets go (if it ever does). Only STATUS_SUCCESS is a usable handle;
        every other success or informational code is refused with it, since none of them is
        what an open of a file or folder by handle returns otherwise.
    */
    OpenOutcome judgeOpenStatus (std::uint32_t ntStatus);
}
