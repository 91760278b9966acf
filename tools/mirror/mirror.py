#!/usr/bin/python3
"""Local HTTPS mirror of our download host, for tests.

Serves the setup tool at /VantrelInstall_winCN.exe and /VantrelInstall_winEN.exe on 127.0.0.1,
well-behaved or hostile depending on --mode. Standard library only. See README.md beside it.
"""

import argparse
import datetime
import os
import signal
import socket
import ssl
import sys
import threading
import time

KNOWN_PATHS = ("/VantrelInstall_winCN.exe", "/VantrelInstall_winEN.exe")
MODES = ("normal", "chunked", "404", "500", "redirect", "truncated", "slow", "silent", "stall",
         "redirect-loop", "redirect-http", "endless-headers", "huge-body")
CERT_KINDS = ("good", "expired", "wronghost", "untrusted")
CERT_FILES = {"good": "server", "expired": "expired", "wronghost": "wronghost", "untrusted": "untrusted"}

MAX_REQUEST_HEAD = 64 * 1024
PIECE = 16 * 1024
HUGE_ANNOUNCED = 1024            # what huge-body claims
HUGE_TOTAL = 32 * 1024 * 1024    # what huge-body really sends

stopping = threading.Event()
log_lock = threading.Lock()


class Mirror:
    def __init__(self, args):
        self.args = args
        with open(args.file, "rb") as f:
            served = f.read()
        trailer = b""
        if args.trailer is not None:
            trailer = args.trailer.encode("utf-8")
            if not trailer.endswith(b"\n"):
                trailer += b"\n"
        self.bodies = {path: served + trailer for path in KNOWN_PATHS}
        self.log_file = open(args.request_log, "a", encoding="utf-8") if args.request_log else None

    # ---- logging -------------------------------------------------------------------------

    def log_request(self, port, method, path):
        if not self.log_file:
            return
        stamp = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")
        with log_lock:
            self.log_file.write(f"{stamp} {port} {method} {path}\n")
            self.log_file.flush()

    # ---- connection handling -------------------------------------------------------------

    def handle(self, raw, port, tls_context):
        conn = raw
        try:
            raw.settimeout(30)
            if tls_context is not None:
                conn = tls_context.wrap_socket(raw, server_side=True)
            request = read_request_head(conn)
            if request is None:
                return
            method, path, headers = request
            self.log_request(port, method, path)
            conn.settimeout(None)
            if self.args.answer_after > 0 and stopping.wait(self.args.answer_after):
                return
            host = headers.get("host") or f"localhost:{port}"
            self.respond(conn, method, path, host, plain=tls_context is None)
        except (OSError, ssl.SSLError, ValueError):
            pass  # clients that go away, fail the handshake or send junk are not our problem
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def respond(self, conn, method, path, host, plain):
        mode = "normal" if plain else self.args.mode
        head_only = method == "HEAD"
        if method not in ("GET", "HEAD"):
            send_simple(conn, 405, "Method Not Allowed", head_only, extra=["Allow: GET, HEAD"])
            return

        if mode == "redirect" and path.startswith("/files/"):
            path, mode = path[len("/files"):], "normal"
        body = self.bodies.get(path.split("?", 1)[0])
        if body is None:
            send_simple(conn, 404, "Not Found", head_only)
            return

        if mode == "normal":
            send_head(conn, 200, "OK", len(body))
            if not head_only:
                conn.sendall(body)
        elif mode == "chunked":
            send_head(conn, 200, "OK", None, extra=["Transfer-Encoding: chunked"])
            if not head_only:
                for i in range(0, len(body), PIECE):
                    piece = body[i:i + PIECE]
                    conn.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
                conn.sendall(b"0\r\n\r\n")
        elif mode == "404":
            send_simple(conn, 404, "Not Found", head_only)
        elif mode == "500":
            send_simple(conn, 500, "Internal Server Error", head_only)
        elif mode == "redirect":
            redirect(conn, f"https://{host}/files{path}", head_only)
        elif mode == "redirect-loop":
            redirect(conn, f"https://{host}{path}", head_only)
        elif mode == "redirect-http":
            redirect(conn, f"http://localhost:{self.args.http_port}{path}", head_only)
        elif mode == "truncated":
            send_head(conn, 200, "OK", len(body))
            if not head_only:
                conn.sendall(body[:len(body) // 2])
                # Drop the connection without a TLS close_notify, as a dying server would.
                conn.shutdown(socket.SHUT_RDWR)
        elif mode == "slow":
            send_head(conn, 200, "OK", len(body))
            if not head_only:
                send_paced(conn, body, self.args.rate)
        elif mode == "silent":
            stopping.wait()
        elif mode == "stall":
            send_head(conn, 200, "OK", len(body))
            if not head_only:
                conn.sendall(body[:max(1, len(body) // 2)])
            stopping.wait()
        elif mode == "endless-headers":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n")
            n = 0
            while not stopping.is_set():
                lines = []
                for _ in range(64):
                    n += 1
                    lines.append(b"X-Vantrel-Filler-%d: %s\r\n" % (n, b"x" * 80))
                conn.sendall(b"".join(lines))
                time.sleep(0.01)
        elif mode == "huge-body":
            send_head(conn, 200, "OK", min(HUGE_ANNOUNCED, len(body)))
            if not head_only:
                conn.sendall(body)
                filler = b"\0" * (256 * 1024)
                sent = len(body)
                while sent < HUGE_TOTAL and not stopping.is_set():
                    conn.sendall(filler)
                    sent += len(filler)


def read_request_head(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
        if len(data) > MAX_REQUEST_HEAD:
            raise ValueError("request head too large")
    head = data.split(b"\r\n\r\n", 1)[0].decode("latin-1")
    lines = head.split("\r\n")
    parts = lines[0].split(" ")
    if len(parts) != 3:
        raise ValueError("bad request line")
    method, target, _version = parts
    if target.startswith(("http://", "https://")):  # absolute form, as proxies use
        target = "/" + target.split("://", 1)[1].partition("/")[2]
    headers = {}
    for line in lines[1:]:
        name, sep, value = line.partition(":")
        if sep:
            headers[name.strip().lower()] = value.strip()
    return method, target, headers


def send_head(conn, status, reason, length, extra=()):
    lines = [f"HTTP/1.1 {status} {reason}", "Server: vantrel-test-mirror",
             "Content-Type: application/octet-stream", "Connection: close"]
    if length is not None:
        lines.append(f"Content-Length: {length}")
    lines.extend(extra)
    conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))


def send_simple(conn, status, reason, head_only, extra=()):
    body = f"{status} {reason}\n".encode("ascii")
    lines = [f"HTTP/1.1 {status} {reason}", "Server: vantrel-test-mirror",
             "Content-Type: text/plain", "Connection: close", f"Content-Length: {len(body)}", *extra]
    conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + (b"" if head_only else body))


def redirect(conn, location, head_only):
    send_simple(conn, 302, "Found", head_only, extra=[f"Location: {location}"])


def send_paced(conn, body, rate):
    # Small pieces on a fixed schedule, so the rate holds however long the file is.
    piece = max(1, min(PIECE, rate // 20))
    start = time.monotonic()
    sent = 0
    while sent < len(body):
        if stopping.is_set():
            return
        chunk = body[sent:sent + piece]
        conn.sendall(chunk)
        sent += len(chunk)
        delay = start + sent / rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)


def serve_port(mirror, listener, port, tls_context):
    while not stopping.is_set():
        try:
            raw, _addr = listener.accept()
        except OSError:
            if stopping.is_set():
                return
            continue
        threading.Thread(target=mirror.handle, args=(raw, port, tls_context), daemon=True).start()


def make_listener(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(128)
    return s


def parse_args(argv):
    p = argparse.ArgumentParser(description="Local HTTPS mirror of the Vantrel download hosts, for tests.")
    p.add_argument("--port", type=int, action="append", required=True,
                   help="port to listen on (repeatable; all behave the same; 0 picks a free one, "
                        "see --ready-file)")
    p.add_argument("--ca-dir", default="build/testca", help="folder made by tools/testca (default: %(default)s)")
    p.add_argument("--cert-kind", choices=CERT_KINDS, default="good",
                   help="which certificate from --ca-dir to present (default: good)")
    p.add_argument("--file", required=True, help="what is served at both known paths")
    p.add_argument("--trailer", help="text appended (plus a newline) to the served bytes")
    p.add_argument("--mode", choices=MODES, default="normal")
    p.add_argument("--rate", type=int, default=(1 << 20) // 3,
                   help="bytes per second in slow mode (default: %(default)s, ~3 s per MiB)")
    p.add_argument("--answer-after", type=float, default=0.0,
                   help="seconds to wait between a request and its answer (a slow first connection)")
    p.add_argument("--request-log", help="append one line per request: time port method path")
    p.add_argument("--ready-file", help="written once listening, with the ports in --port order (removed at start and at exit)")
    args = p.parse_args(argv)
    if args.rate <= 0:
        p.error("--rate must be positive")
    base = os.path.join(args.ca_dir, CERT_FILES[args.cert_kind])
    args.cert, args.key = base + ".crt", base + ".key"
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)

    def on_signal(_signum, _frame):
        stopping.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    if args.ready_file and os.path.exists(args.ready_file):
        os.unlink(args.ready_file)

    mirror = Mirror(args)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)

    listeners = []
    try:
        for port in args.port:
            listener = make_listener(port)
            listeners.append((listener, listener.getsockname()[1], context))
        if args.mode == "redirect-http":
            plain = make_listener(0)   # a free port
            args.http_port = plain.getsockname()[1]
            listeners.append((plain, args.http_port, None))
    except OSError as e:
        print(f"mirror: cannot listen: {e}", file=sys.stderr)
        return 1

    for listener, port, ctx in listeners:
        threading.Thread(target=serve_port, args=(mirror, listener, port, ctx), daemon=True).start()

    ports = " ".join(str(p) for _l, p, c in listeners if c is not None)
    extra = f" (plain http on {args.http_port})" if args.mode == "redirect-http" else ""
    print(f"mirror: listening on 127.0.0.1 port(s) {ports}{extra}, mode {args.mode}, "
          f"cert {args.cert}", flush=True)
    if args.ready_file:
        tmp = args.ready_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(" ".join(str(p) for _l, p, _c in listeners) + "\n")
        os.replace(tmp, args.ready_file)

    try:
        stopping.wait()
    finally:
        for listener, _p, _c in listeners:
            listener.close()
        if args.ready_file:
            try:
                os.unlink(args.ready_file)
            except OSError:
                pass
    print("mirror: stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
