"""The setup-tool stand-in (tools/setup-tool-standin): the trailer that tells it what to do, and
the record it keeps of its runs."""

import datetime
import json
import re
from collections import namedtuple
from pathlib import Path

START = re.compile(r'^start time=(\S+) pid=\d+ argc=(\d+) args=\[(.*)\] exe=("(?:[^"\\]|\\.)*") '
                   r'cwd=("(?:[^"\\]|\\.)*") env=(\{.*\})$')
EXIT = re.compile(r"^exit (-?\d+) pid=\d+ time=(\S+)$")
# time in seconds since the epoch; env: the recorded variables' values (None: not set)
Start = namedtuple("Start", "time argc args exe cwd env")
Exit = namedtuple("Exit", "time code")


def trailer(record, exit_code=0, sleep_ms=0, stdout_bytes=0, own_file=None):
    """The line that, after the stand-in's bytes, makes it record its start and exit in `record`
    (a path as the tool names it); `own_file` "rename" or "delete" makes it do that to its own
    file and leave another beside it."""
    return (f"VANTREL-STANDIN exit={exit_code} sleep-ms={sleep_ms} stdout-bytes={stdout_bytes} "
            + (f"own-file={own_file} " if own_file else "") + f"record={record}")


def parse_record(lines):
    """(starts, exits) in record lines: Start(time, argc, args text, exe path, working folder,
    environment), Exit(time, code)."""
    starts, exits = [], []
    for line in lines:
        if m := START.match(line):
            starts.append(Start(_seconds(m.group(1)), int(m.group(2)), m.group(3), json.loads(m.group(4)),
                                json.loads(m.group(5)), json.loads(m.group(6))))
        elif m := EXIT.match(line):
            exits.append(Exit(_seconds(m.group(2)), int(m.group(1))))
        else:
            raise ValueError(f"unexpected line in the stand-in's record: {line!r}")
    return starts, exits


def read_record(path):
    path = Path(path)
    return parse_record(path.read_text(encoding="utf-8").splitlines() if path.exists() else [])


def _seconds(stamp):
    return datetime.datetime.fromisoformat(stamp).timestamp()   # ISO 8601, UTC ("Z")
