"""The release's signing step (cmake/sign-windows-file) with a time stamp from an RFC 3161 server:
`openssl ts -reply` behind a few lines of HTTP here, as a vendor's time-stamping service answers.
The stamped file verifies, with the stamp's time the signing time; a server that does not answer
fails the step, names the server, and leaves no file that looks signed."""

import datetime
import http.server
import os
import re
import shutil
import subprocess
import tempfile
import threading
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CA = ROOT / "build" / "testca"
WINDOWS_BUILD = Path(os.environ.get("VANTREL_WINDOWS_BUILD_DIR") or ROOT / "build" / "windows-x86-test")
TSA_CONFIG = """[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {serial}
crypto_device = builtin
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


class TimeStampServer:
    """An RFC 3161 server on loopback: each query answered by `openssl ts -reply` with the test
    time-stamping certificate."""

    def __init__(self, folder):
        (folder / "serial").write_text("01\n")
        config = folder / "ts.cnf"
        config.write_text(TSA_CONFIG.format(serial=folder / "serial"))
        self.queries = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                with tempfile.TemporaryDirectory() as work:
                    (Path(work) / "query.tsq").write_bytes(query)
                    subprocess.run(["openssl", "ts", "-reply", "-config", str(config), "-queryfile", f"{work}/query.tsq",
                                    "-signer", str(CA / "tsa.crt"), "-inkey", str(CA / "tsa.key"),
                                    "-out", f"{work}/reply.tsr"], check=True, capture_output=True)
                    reply = (Path(work) / "reply.tsr").read_bytes()
                server.queries += 1
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.http = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.http.server_address[1]}/"
        threading.Thread(target=self.http.serve_forever, daemon=True).start()

    def stop(self):
        self.http.shutdown()
        self.http.server_close()


def sign(file, timestamp_url):
    env = dict(os.environ, VANTREL_TEST_SIGN_PIN=(CA / "codesign.password").read_text())
    return subprocess.run([str(ROOT / "cmake" / "sign-windows-file"), "--pkcs12", str(CA / "codesign.p12"),
                           "--password-env", "VANTREL_TEST_SIGN_PIN", "--timestamp-url", timestamp_url, str(file)],
                          env=env, capture_output=True, text=True, timeout=120)


def stamp_time(verified):
    found = re.search(r"Timestamp time: (\w+ +\d+ [\d:]+ \d+) GMT", verified)
    assert found, verified
    return datetime.datetime.strptime(found.group(1), "%b %d %H:%M:%S %Y").replace(tzinfo=datetime.timezone.utc)


@pytest.fixture
def program(tmp_path):
    standin = WINDOWS_BUILD / "tools" / "setup-tool-standin.exe"
    if not standin.exists():
        pytest.fail(f"{standin} is missing: run scripts/build-for-tests first")
    shutil.copy(standin, tmp_path / "program.exe")
    return tmp_path / "program.exe"


def test_a_file_stamped_by_the_time_stamp_server_verifies_with_the_signing_time(tmp_path, program):
    server = TimeStampServer(tmp_path)
    try:
        before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        done = sign(program, server.url)
        after = datetime.datetime.now(datetime.timezone.utc)
    finally:
        server.stop()
    assert done.returncode == 0 and server.queries == 1, (done.stderr, server.queries)
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", str(CA / "ca.crt"), "-TSA-CAfile", str(CA / "ca.crt"),
                               "-in", str(program)], capture_output=True, text=True, timeout=60)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    assert "Timestamp Server Signature verification: ok" in verified.stdout, verified.stdout
    assert before <= stamp_time(verified.stdout) <= after, (before, verified.stdout, after)


def test_a_time_stamp_server_that_does_not_answer_fails_the_signing_and_names_it(tmp_path, program):
    server = TimeStampServer(tmp_path)
    url = server.url
    server.stop()   # the port is closed now: nothing answers there
    done = sign(program, url)
    assert done.returncode != 0
    assert f"time-stamp server {url}" in done.stderr, done.stderr
    assert not program.exists(), "an unstamped file was left looking signed"
