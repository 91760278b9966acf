"""The tool's own signature has the last word on a whole file: a chunked body whose end the
server will not confirm (it ignores Range) is started when its signature matches its bytes, and a
file spliced from two versions that HTTP cannot tell apart (a change on the server between two
parts, same length, same ETag and Last-Modified) is downloaded again from zero rather than
started. ELF programs carry no signature: the Linux build refuses the unconfirmed chunked body
as ever, and an unsigned tool is what no check can protect from a splice."""

import pytest

from harness.installer import cases, standin_program
from harness.outcomes import assert_error_shown_until_closed
from harness.program import ERROR, QUIT, SUCCESS, completion
from harness import texts
from harness.texts import monitor

from test_signed_tool import sign

UNCONFIRMED = texts.CHUNKED_END_UNCONFIRMED + texts.ASKED_WHAT_FOLLOWS + "200)"


def tool(bench, platform, name, pattern, signed):
    """The stand-in grown to 3 MiB with `pattern` (never loaded) and its recording trailer, signed
    by the test certificate when `signed`; it runs 1.5 s, so that its file can be read meanwhile."""
    unsigned = bench.tmp / f"{name}-unsigned.exe"
    unsigned.write_bytes(standin_program(platform).read_bytes() + pattern * (3 * 1024 * 1024 // len(pattern))
                         + (bench.trailer(platform, sleep_ms=1500) + "\n").encode())
    return sign(unsigned, bench.tmp / f"{name}.exe", "codesign", "ca") if signed else unsigned


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_a_chunked_body_the_server_will_not_confirm_is_whole_by_its_signature(bench, platform):
    served = tool(bench, platform, "tool", bytes(range(256)), signed=platform == "wine")
    bench.mirror(platform, mode="chunked-ranges-ignored", file=served)
    app = bench.start(platform, "en")
    if platform == "linux":
        lines = app.wait_for_line(ERROR, timeout=60)
        i, status, _ = completion(lines)
        assert (status, lines[i + 1:]) == (200, [monitor(texts.ANSWER_REFUSED + UNCONFIRMED), ERROR]), lines[i:]
        assert_error_shown_until_closed(bench, app, lines, i, "en", "refused.png")
        return
    assert app.wait_exit(60) == 0, app.lines()
    lines = app.lines()
    i, status, size = completion(lines)
    assert (status, size) == (200, len(served.read_bytes())), lines[i]
    assert lines[i + 1:i + 3] == [monitor(texts.WHOLE_BY_SIGNATURE + UNCONFIRMED), SUCCESS], lines[i:]
    assert lines[-1] == QUIT and len(bench.tool_runs()[0]) == 1, (lines, bench.tool_runs())


@pytest.mark.parametrize("platform, tool_kind", cases([("wine", "signed"), ("wine", "unsigned")]))
def test_a_file_changed_between_two_parts_is_never_started_spliced_when_signed(bench, platform, tool_kind):
    signed = tool_kind == "signed"
    first = tool(bench, platform, "first", bytes(range(256)), signed)
    second = tool(bench, platform, "second", bytes(range(255, -1, -1)), signed)
    old, new = first.read_bytes(), second.read_bytes()
    assert len(old) == len(new), "the two versions must be of one length"
    bench.mirror(platform, mode="slow", file=first, rate=len(old) // 3, cuts=1, seed=3,
                          changed_file=second, changed_keeps_validators=True)
    app = bench.start(platform, "en")

    app.wait_until(lambda: bench.tool_runs()[0], 90, "the tool to start")
    started = app.download_target().read_bytes()
    lines = app.lines()
    again = monitor(texts.FROM_ZERO_SIGNED_BYTES_CHANGED)
    if signed:
        # The splice is seen by its signature and the changed file downloaded whole.
        assert started == new and again in lines, lines
    else:
        # What no check of an unsigned tool can see: neither version, started.
        assert started not in (old, new) and again not in lines, lines
    assert app.wait_exit(60) == 0, app.lines()
