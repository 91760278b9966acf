#include "rules/OpenStatus.h"

#include <gtest/gtest.h>

TEST (OpenStatus, OnlyAPlainSuccessIsAHandleToUseAndAnOplockBreakIsNeverWaitedOn)
{
    using rules::OpenOutcome;

    // The status an open with FILE_COMPLETE_IF_OPLOCKED returns -> what the caller does with it.
    const struct { std::uint32_t status; OpenOutcome outcome; const char* what; } cases[] = {
        { 0x00000000, OpenOutcome::opened, "STATUS_SUCCESS" },
        { 0x00000108, OpenOutcome::notAvailable, "STATUS_OPLOCK_BREAK_IN_PROGRESS: its first use would wait on the holder" },
        { 0x00000103, OpenOutcome::notAvailable, "STATUS_PENDING" },
        { 0x00000104, OpenOutcome::notAvailable, "STATUS_REPARSE" },
        { 0x40000000, OpenOutcome::notAvailable, "STATUS_OBJECT_NAME_EXISTS" },
        { 0x80000005, OpenOutcome::failed, "STATUS_BUFFER_OVERFLOW (a warning)" },
        { 0xC0000043, OpenOutcome::failed, "STATUS_SHARING_VIOLATION" },
        { 0xC0000022, OpenOutcome::failed, "STATUS_ACCESS_DENIED" },
        { 0xC0000034, OpenOutcome::failed, "STATUS_OBJECT_NAME_NOT_FOUND" },
    };

    for (const auto& c : cases)
        EXPECT_EQ (rules::judgeOpenStatus (c.status), c.outcome) << c.what;
}
