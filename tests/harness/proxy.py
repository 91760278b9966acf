"""A real company proxy for the tests: squid on loopback, allowing CONNECT only to the test
mirror's ports, or refusing every tunnel."""

import re
import shutil
import tempfile
from pathlib import Path

from .processes import Server
from .program import TEST_PORTS

PROXY_PORT = 48450

CONFIG = """http_port 127.0.0.1:{port}
acl mirror_ports port {mirror_ports}
acl CONNECT method CONNECT
{allow}http_access deny all
pid_filename {dir}/squid.pid
access_log stdio:{dir}/access.log
cache_log {dir}/cache.log
cache_store_log none
cache deny all
coredump_dir {dir}
pinger_enable off
shutdown_lifetime 0 seconds
"""

# An access log line: time elapsed client result/status bytes method target ...
ACCESS = re.compile(r"^\S+\s+\d+\s+\S+\s+(\w+)/(\d+)\s+\d+\s+(\S+)\s+(\S+)")


class Squid(Server):
    """squid in the foreground on PROXY_PORT; tunnels to the mirror allowed or all refused."""

    def __init__(self, allow_tunnels):
        # squid writes its logs after dropping its rights: a folder of its own straight under
        # /tmp, which every user can reach (pytest's folders are its owner's only).
        self.dir = Path(tempfile.mkdtemp(prefix="vantrel-squid-"))
        self.dir.chmod(0o777)
        config = self.dir / "squid.conf"
        config.write_text(CONFIG.format(
            port=PROXY_PORT, dir=self.dir, mirror_ports=" ".join(map(str, TEST_PORTS)),
            allow="http_access allow CONNECT mirror_ports\n" if allow_tunnels else ""))

        def listening():
            return f":{PROXY_PORT:X} " in Path("/proc/net/tcp").read_text().replace("\n", " ")
        super().__init__("squid", ["squid", "-N", "-f", str(config)], self.dir, listening, timeout=30)

    @property
    def address(self):
        return f"localhost:{PROXY_PORT}"

    def requests(self):
        """(result, status, method, target) per request squid logged."""
        log = self.dir / "access.log"
        lines = log.read_text().splitlines() if log.exists() else []
        return [m.groups() for line in lines if (m := ACCESS.match(line))]

    def stop(self):
        super().stop(timeout=15)
        shutil.rmtree(self.dir, ignore_errors=True)
