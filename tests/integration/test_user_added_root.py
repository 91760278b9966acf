"""A root that a program of the user adds to the user's own Root store (no elevation needed) is
trusted neither for the download nor for the tool's signer: the program runs elevated and
judges both by the machine's roots alone. Windows only (Wine keeps the user's store in its
registry); the Linux build trusts the system's bundle, which the user cannot add to."""

import pytest

from harness.installer import WINE_PROBE, cases, ensure_built
from harness.outcomes import assert_error_shown_until_closed, assert_network_failure_until_closed
from harness.processes import run_quiet
from harness.program import CA_DIR, CANNOT_OPEN, DELETED, completion
from harness.texts import CONNECTION_REFUSED, NOT_MACHINE_TRUSTED, SIGNATURE_CHECK_FAILED, UNTRUSTED_ROOT, monitor
from harness.wine import windows_path

from test_signed_tool import served_tool

# The server's certificate only the user's root vouches for, and its chain ends short of any root
# of the machine (the server sends no root): CERT_E_CHAINING.
REFUSED = monitor(CONNECTION_REFUSED + NOT_MACHINE_TRUSTED + "800b010a)")


@pytest.fixture
def user_root(bench):
    """Adds the untrusted test CA to the Wine user's Root store when called; taken out again after."""
    prefix = bench.wine()
    ca = windows_path(CA_DIR / "untrusted-ca.crt")
    added = []

    def add():
        done = run_quiet(["wine", str(ensure_built(WINE_PROBE)), "add-user-root", ca], env=prefix.env)
        assert done.stdout.strip() == "added", done
        added.append(ca)
    yield add
    for path in added:
        done = run_quiet(["wine", str(ensure_built(WINE_PROBE)), "remove-user-root", path], env=prefix.env)
        assert done.stdout.strip() == "removed", done


@pytest.mark.parametrize("platform", cases(["wine"]))
def test_a_server_vouched_for_by_a_root_the_user_added_is_refused(bench, platform, user_root):
    bench.mirror(platform, cert_kind="untrusted")
    # Before the root is added WinINet itself refuses the server; after, only the machine's check.
    for refused_by_machine_check in (False, True):
        if refused_by_machine_check:
            user_root()
        app = bench.start(platform, "en")
        assert_network_failure_until_closed(bench, app, timeout=40)
        assert (REFUSED in app.lines()) == refused_by_machine_check, app.lines()


@pytest.mark.parametrize("platform", cases(["wine"]))
def test_a_tool_signed_under_a_root_the_user_added_is_refused_whatever_the_list_names(bench, platform, user_root):
    user_root()
    bench.mirror(platform, file=served_tool(bench, platform, "untrusted-ca"))
    app = bench.start(platform, "en", variant="_signed")
    lines = app.wait_for_line(DELETED, timeout=30)
    i, status, _ = completion(lines)
    assert status == 200, lines[i]
    assert lines[i + 1:] == [monitor(SIGNATURE_CHECK_FAILED + UNTRUSTED_ROOT), CANNOT_OPEN, DELETED], lines[i:]
    assert_error_shown_until_closed(bench, app, lines, i, "en", "refused.png")
