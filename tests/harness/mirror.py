"""The test mirror (tools/mirror/mirror.py) on the ports the test builds download from."""

from pathlib import Path

from .processes import Server
from .program import CA_DIR, ROOT, TEST_PORTS

MIRROR = ROOT / "tools" / "mirror" / "mirror.py"


class Mirror(Server):
    """The mirror serving `file` (plus `trailer`); the other options are mirror.py's."""

    def __init__(self, workdir, file, mode="normal", trailer=None, rate=None, cert_kind=None,
                 answer_after=None):
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.request_log = self.dir / "requests.log"
        ready_file = self.dir / "mirror.ready"
        self.file = Path(file)
        self.trailer = trailer
        args = ["/usr/bin/python3", str(MIRROR), "--ca-dir", str(CA_DIR), "--file", str(file),
                "--mode", mode, "--request-log", str(self.request_log), "--ready-file", str(ready_file)]
        for port in TEST_PORTS:
            args += ["--port", str(port)]
        for option, value in (("--trailer", trailer), ("--rate", rate and int(rate)),
                              ("--cert-kind", cert_kind), ("--answer-after", answer_after)):
            if value is not None:
                args += [option, str(value)]
        super().__init__("mirror", args, self.dir, ready_file.exists,
                         hint=f" (ports {TEST_PORTS} taken by someone else?)")

    def served_size(self):
        return served_size(self.file, self.trailer)

    def requests(self):
        if not self.request_log.exists():
            return []
        return self.request_log.read_text().splitlines()


def served_size(file, trailer=None):
    """Bytes served at the download paths: the file plus the trailer and its newline."""
    size = Path(file).stat().st_size
    if trailer is not None:
        size += len(trailer.encode("utf-8")) + (0 if trailer.endswith("\n") else 1)
    return size
