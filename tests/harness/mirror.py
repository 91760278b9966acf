"""The test mirror (tools/mirror/mirror.py) on the ports the test builds download from."""

import datetime
import hashlib
from collections import namedtuple
from pathlib import Path

from .processes import Server
from .program import CA_DIR, ROOT, TEST_PORTS

MIRROR = ROOT / "tools" / "mirror" / "mirror.py"
FIXED_LAST_MODIFIED = "Tue, 02 Jan 2024 10:00:00 GMT"   # the served file's, unless changed
# One request as the mirror logged it; range, if_range and accept_encoding are the headers' values, or "-".
Asked = namedtuple("Asked", "port method path range if_range accept_encoding")


class Mirror(Server):
    """The mirror serving `file` (plus `trailer`); the other options are mirror.py's."""

    def __init__(self, workdir, file, mode="normal", trailer=None, rate=None, cert_kind=None,
                 answer_after=None, cuts=None, stalls=None, seed=None, ignore_ranges=False,
                 no_validators=False, changed_file=None, ignore_if_range=False, partial_validators=None,
                 last_modified_only=None, short_partial=None, partial_coding=None, trickle_seconds=None,
                 trickle_rate=None, busy_resumes=None, first_cut_at=None, hold_resumes=False, hold_at=None,
                 changed_keeps_validators=False, reset_seconds=None):
        self.dir = Path(workdir)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.request_log = self.dir / "requests.log"
        self.reset_log = self.dir / "resets.log"
        self.sent_log = self.dir / "sent.log"
        ready_file = self.dir / "mirror.ready"
        self.file = Path(file)
        self.trailer = trailer
        args = ["/usr/bin/python3", str(MIRROR), "--ca-dir", str(CA_DIR), "--file", str(file),
                "--mode", mode, "--request-log", str(self.request_log), "--sent-log", str(self.sent_log),
                "--ready-file", str(ready_file), "--reset-log", str(self.reset_log)]
        for port in TEST_PORTS:
            args += ["--port", str(port)]
        for option, value in (("--trailer", trailer), ("--rate", rate and int(rate)),
                              ("--cert-kind", cert_kind), ("--answer-after", answer_after),
                              ("--cuts", cuts), ("--stalls", stalls), ("--seed", seed),
                              ("--changed-file", changed_file), ("--partial-validators", partial_validators),
                              ("--last-modified-only", last_modified_only), ("--short-partial", short_partial),
                              ("--partial-coding", partial_coding), ("--trickle-seconds", trickle_seconds),
                              ("--trickle-rate", trickle_rate), ("--busy-resumes", busy_resumes),
                              ("--first-cut-at", first_cut_at), ("--reset-seconds", reset_seconds)):
            if value is not None:
                args += [option, str(value)]
        # Held until release(): resumes, and bodies at the byte hold_at.
        self.holds = {"resumes": self.dir / "hold-resumes", "at": self.dir / "hold-at"}
        for option, name, on in (("--hold-resumes-while", "resumes", hold_resumes),
                                 ("--hold-at-while", "at", hold_at is not None)):
            if on:
                self.holds[name].touch()
                args += [option, str(self.holds[name])]
        if hold_at is not None:
            args += ["--hold-at", str(int(hold_at))]
        for flag, on in (("--ignore-ranges", ignore_ranges), ("--no-validators", no_validators),
                         ("--ignore-if-range", ignore_if_range), ("--changed-keeps-validators", changed_keeps_validators)):
            if on:
                args.append(flag)
        super().__init__("mirror", args, self.dir, ready_file.exists,
                         hint=f" (ports {TEST_PORTS} taken by someone else?)")

    def release(self, hold):
        """Lets the mirror go on past its hold "resumes" or "at"."""
        self.holds[hold].unlink(missing_ok=True)

    def served_size(self):
        return served_size(self.file, self.trailer)

    def etag(self):
        """The ETag of the served bytes (as the mirror makes it)."""
        data = self.file.read_bytes()
        if self.trailer is not None:
            data += self.trailer.encode("utf-8") + (b"" if self.trailer.endswith("\n") else b"\n")
        return '"%s"' % hashlib.sha256(data).hexdigest()[:16]

    def resets(self):
        """When each connection the mirror reset came (datetime, UTC)."""
        return [datetime.datetime.fromisoformat(line) for line in self.reset_log.read_text().split()] \
            if self.reset_log.exists() else []

    def first_request_time(self):
        """When the first request came (datetime, UTC); None before one."""
        lines = self._request_lines()
        return datetime.datetime.fromisoformat(lines[0].split()[0]) if lines else None

    def requests(self):
        """One "time port method path" per request."""
        return [line.split("\t", 1)[0] for line in self._request_lines()]

    def asked(self):
        """One Asked per request, with the Range and If-Range it came with."""
        answers = []
        for line in self._request_lines():
            first, range_header, if_range, accept_encoding = line.split("\t")
            _time, port, method, path = first.split(" ")
            answers.append(Asked(int(port), method, path, range_header, if_range, accept_encoding))
        return answers

    def _request_lines(self):
        if not self.request_log.exists():
            return []
        return self.request_log.read_text().splitlines()

    def sent(self):
        """One (status, first byte, body bytes sent, Range header or "-") per answer, as each ended
        (a stalled one once its part was sent)."""
        if not self.sent_log.exists():
            return []
        answers = []
        for line in self.sent_log.read_text().splitlines():
            _time, _port, status, first, count, range_header = line.split(" ", 5)
            answers.append((int(status), int(first), int(count), range_header))
        return answers

    def bytes_sent(self):
        """Body bytes sent in all answers, cut and stalled ones included."""
        return sum(count for _status, _first, count, _range in self.sent())


def served_size(file, trailer=None):
    """Bytes served at the download paths: the file plus the trailer and its newline."""
    size = Path(file).stat().st_size
    if trailer is not None:
        size += len(trailer.encode("utf-8")) + (0 if trailer.endswith("\n") else 1)
    return size
