"""Running commands and waiting for things."""

import os
import signal
import subprocess
import tempfile
import time
from pathlib import Path


def wait_until(check, timeout, what, interval=0.1):
    """Polls check() until it returns something truthy; fails naming `what` after timeout s."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def run_quiet(args, env=None, timeout=60, check=True, cwd=None):
    """Runs a command to its end; output through files, not pipes, as Wine leaves helper
    processes behind that would hold a pipe open."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        result = subprocess.run(args, env=env, timeout=timeout, stdin=subprocess.DEVNULL, cwd=cwd,
                                stdout=out, stderr=err)
        out.seek(0)
        err.seek(0)
        result.stdout, result.stderr = out.read(), err.read()
    if check and result.returncode != 0:
        raise AssertionError(f"{args} failed ({result.returncode}): {result.stderr.strip()}")
    return result


def kill_group(proc):
    """Ends a process we started (and what it started) for good."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait(timeout=10)


class Server:
    """A server we start, its output in `workdir`/`name`.out; started once ready() holds."""

    def __init__(self, name, args, workdir, ready, timeout=10, hint=""):
        self.output_file = Path(workdir) / f"{name}.out"
        self.output = open(self.output_file, "w")
        self.proc = subprocess.Popen(args, stdout=self.output, stderr=subprocess.STDOUT,
                                     start_new_session=True)

        def started():
            if self.proc.poll() is not None:
                raise AssertionError(f"{name} ended ({self.proc.returncode}): "
                                     f"{self.output_file.read_text().strip()}{hint}")
            return ready()
        wait_until(started, timeout, f"{name} to listen")

    def stop(self, timeout=10):
        """Asks it to end (SIGTERM), and ends it for good if it does not in time."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                kill_group(self.proc)
        self.output.close()
