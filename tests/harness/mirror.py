"""The test mirror (tools/mirror/mirror.py) on the ports the test builds download from."""

import subprocess
from pathlib import Path

from .processes import stop, wait_until
from .program import CA_DIR, ROOT, TEST_PORTS

MIRROR = ROOT / "tools" / "mirror" / "mirror.py"


class Mirror:
    """The mirror serving `file` (plus `trailer`); the other options are mirror.py's."""

    def __init__(self, workdir, file, mode="normal", trailer=None, rate=None, cert_kind=None,
                 answer_after=None):
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.request_log = self.dir / "requests.log"
        self.ready_file = self.dir / "mirror.ready"
        self.output = open(self.dir / "mirror.out", "w")
        self.file = Path(file)
        self.trailer = trailer
        args = ["/usr/bin/python3", str(MIRROR), "--ca-dir", str(CA_DIR), "--file", str(file),
                "--mode", mode, "--request-log", str(self.request_log),
                "--ready-file", str(self.ready_file)]
        for port in TEST_PORTS:
            args += ["--port", str(port)]
        for option, value in (("--trailer", trailer), ("--rate", rate and int(rate)),
                              ("--cert-kind", cert_kind), ("--answer-after", answer_after)):
            if value is not None:
                args += [option, str(value)]
        self.proc = subprocess.Popen(args, stdout=self.output, stderr=subprocess.STDOUT,
                                     start_new_session=True)

        def ready():
            if self.proc.poll() is not None:
                raise AssertionError(f"the mirror ended ({self.proc.returncode}): "
                                     f"{(self.dir / 'mirror.out').read_text().strip()} "
                                     f"(ports {TEST_PORTS} taken by someone else?)")
            return self.ready_file.exists()
        wait_until(ready, 10, "the mirror to listen")

    def served_size(self):
        return served_size(self.file, self.trailer)

    def requests(self):
        if not self.request_log.exists():
            return []
        return self.request_log.read_text().splitlines()

    def stop(self):
        stop(self.proc)
        self.output.close()


def served_size(file, trailer=None):
    """Bytes served at the download paths: the file plus the trailer and its newline."""
    size = Path(file).stat().st_size
    if trailer is not None:
        size += len(trailer.encode("utf-8")) + (0 if trailer.endswith("\n") else 1)
    return size
