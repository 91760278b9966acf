"""Behind a company proxy (a real squid that allows CONNECT only to the mirror's ports): the
download goes through the proxy's tunnel; a proxy that refuses the tunnel is a network failure,
not a server error, and nothing is started. Linux: the proxy variables, as curl takes them;
Windows: the system's proxy setting."""

import pytest

from harness.installer import cases
from harness.outcomes import assert_good_run, assert_network_failure_until_closed
from harness.program import TEST_PORTS

ROWS = [(platform, proxy) for platform in ("linux", "wine") for proxy in ("tunnel", "refusing")]


@pytest.mark.parametrize("platform, proxy", cases(ROWS))
def test_download_through_a_company_proxy(bench, platform, proxy):
    squid = bench.proxy(platform, allow_tunnels=proxy == "tunnel")
    mirror = bench.mirror(platform)
    app = bench.start(platform, "en")

    if proxy == "tunnel":
        assert_good_run(bench, app)
        wanted = ("TCP_TUNNEL", "200", "CONNECT", f"localhost:{TEST_PORTS[0]}")
    else:
        assert_network_failure_until_closed(bench, app, timeout=20)
        assert mirror.requests() == [], "the mirror was reached past the proxy"
        wanted = ("TCP_DENIED", "403", "CONNECT", f"localhost:{TEST_PORTS[0]}")
    # Every request the program made went to the proxy, as a tunnel to the Windows 10 and 11 host.
    app.wait_until(lambda: squid.requests(), 5, "squid's log")
    assert set(squid.requests()) == {wanted}, squid.requests()
