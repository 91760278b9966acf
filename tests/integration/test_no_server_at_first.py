"""No server at first: the red network text and reconnecting until the server comes up, then
the download starts by itself and, once its bytes are seen to flow, the bar replaces the red text
(the program's rule: the text says the network failed, which it no longer does), and the run
completes."""

import pytest

from harness.installer import cases
from harness.outcomes import assert_good_run
from harness.pictures import bar_problems, fill_problems, red_text_problems, wait_for_picture
from harness.program import LANGUAGES, completion
from harness.texts import DOWNLOAD_TO, DOWNLOADING, RECONNECTING

# One language per build, the first and the last: the red text of each is drawn by the server-error
# rows, and the retries' timing is the monitor's unit table's.
ROWS = [("linux", LANGUAGES[0]), ("wine", LANGUAGES[-1])]


@pytest.mark.parametrize("platform, lang", cases(ROWS))
def test_reconnects_until_server_is_up_then_the_bar_replaces_the_red_text_once_bytes_flow(bench, platform, lang):
    app = bench.start(platform, lang)
    # Pictures of states that last until the test ends them: no server, then the body held at half.
    wait_for_picture(app, lambda image: red_text_problems(image, lang), 5, bench.tmp / "offline.png")
    app.wait_for_line(RECONNECTING, count=3)
    assert app.running() and completion(app.lines()) is None

    # The server comes up only now, once the program is seen retrying; the first half flows over
    # several ticks (so that the bytes are seen to move), then waits.
    mirror = bench.slow_mirror(platform, 8 * app.patience, held_at=0.5)
    app.wait_for_line(DOWNLOADING, timeout=30)
    wait_for_picture(app, lambda image: bar_problems(image) + fill_problems(image), 10, bench.tmp / "downloading.png")
    assert completion(app.lines()) is None
    mirror.release("at")

    lines, _ = assert_good_run(bench, app, before=(RECONNECTING, DOWNLOADING))
    end = completion(lines)[0]
    reconnecting = [i for i in range(end) if lines[i] == RECONNECTING]
    downloading = [i for i in range(end) if lines[i] == DOWNLOADING]
    assert len(reconnecting) >= 3 and downloading, lines[:end]
    assert max(reconnecting) < min(downloading), "reconnecting went on during the download"


@pytest.mark.parametrize("platform", cases(["linux", "wine"]))
def test_a_server_down_for_30_s_is_asked_less_and_less_and_again_within_the_cap_once_back(bench, platform):
    """Every connection reset for 30 s, then served: the program does not ask two or three times a
    second for as long as the window is open (each wait doubles from the tick, up to 15 s), and the
    download starts within the cap of the server's return. Each attempt from zero is told by a
    "Download to:" line (its per-run folder made anew); Wine's WinINet tries a connection reset in
    its TLS handshake once more itself, so there an attempt is two connections."""
    mirror = bench.mirror(platform, reset_seconds=30)
    app = bench.start(platform, "en")
    app.wait_until(lambda: mirror.requests(), 60, "the first request once the server is back")
    resets = mirror.resets()
    # The cap from the last attempt refused, then the next tick and the attempt's own connecting.
    waited = (mirror.first_request_time() - resets[-1]).total_seconds()
    assert waited <= 15 + 2 * app.patience, (waited, resets)

    lines, _ = assert_good_run(bench, app, before=(RECONNECTING, DOWNLOADING))
    refused = sum(1 for line in lines if line.startswith(DOWNLOAD_TO)) - 1   # all but the one that got the file
    assert 4 <= refused <= 15, lines   # before: 2 or 3 a second, 60 in the 30 s
    assert len(resets) <= refused * (2 if platform == "wine" else 1), (refused, resets)
