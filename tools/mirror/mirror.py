#!/usr/bin/python3
"""Local HTTPS mirror of our download host, for tests.

Serves the setup tool at each language's path of cmake/BuildTable.cmake on 127.0.0.1,
well-behaved or hostile depending on --mode. Standard library only. See README.md beside it.
"""

import argparse
import datetime
import email.utils
import hashlib
import os
import random
import re
import signal
import socket
import ssl
import struct
import sys
import threading
import time
from pathlib import Path

# The path of each language row of the build table ("language <code> <path>").
BUILD_TABLE = Path(__file__).resolve().parents[2] / "cmake" / "BuildTable.cmake"
KNOWN_PATHS = tuple(re.findall(r'^\s*"language\s+\S+\s+(\S+)"', BUILD_TABLE.read_text(), re.MULTILINE))
MODES = ("normal", "chunked", "404", "500", "redirect", "truncated", "slow", "silent", "stall",
         "redirect-loop", "redirect-http", "endless-headers", "huge-body", "redirect-relative",
         "redirect-empty-location", "redirect-query-url", "redirect-empty-body", "redirect-moves",
         "redirect-300", "redirect-304", "redirect-no-authority", "unframed", "unframed-cut",
         "chunked-cut", "chunked-short-length", "chunked-long-length", "repeated-etag", "repeated-coding",
         "redirect-other-port", "partial-unasked", "length-not-a-number", "header-without-colon",
         "redirect-space", "chunked-bare-416", "chunked-ranges-ignored", "redirect-signed",
         "redirect-signed-expiring")
# "redirect-<n>-hops": n redirects in a row (the tests take n from the program's limit).
HOPS_MODE = re.compile(r"redirect-(\d+)-hops$")
WHOLE_MODES = ("normal", "slow", "repeated-etag")   # where ranges, cuts and stalls apply
CHUNKED_MODES = ("chunked", "chunked-cut", "chunked-short-length", "chunked-long-length", "chunked-bare-416",
                 "chunked-ranges-ignored")
# Each serves the file normally at /files/<name> (and /moved/<name>), after its redirects.
FILES_MODES = ("redirect", "redirect-query-url", "redirect-empty-body", "redirect-moves", "redirect-300",
               "redirect-304", "redirect-no-authority", "redirect-other-port")
# Where redirect-space leads: a folder whose name has a space, which a client sends as %20.
SPACED_FOLDER = "/dl/Vantrel Setup"
PARTIAL_VALIDATORS = ("none", "weak", "other")
CERT_KINDS = ("good", "expired", "wronghost", "untrusted")
CERT_FILES = {"good": "server", "expired": "expired", "wronghost": "wronghost", "untrusted": "untrusted"}

MAX_REQUEST_HEAD = 64 * 1024
PIECE = 16 * 1024
HUGE_ANNOUNCED = 1024            # what huge-body claims
HUGE_TOTAL = 32 * 1024 * 1024    # what huge-body really sends
# Fixed, so validators repeat from run to run; a changed file is a day newer.
FIRST_MODIFIED = datetime.datetime(2024, 1, 2, 10, 0, tzinfo=datetime.timezone.utc)

stopping = threading.Event()
log_lock = threading.Lock()


class Content:
    """The bytes served at the known paths, with their validators."""

    def __init__(self, path, trailer, modified):
        with open(path, "rb") as f:
            self.data = f.read() + trailer
        self.etag = '"%s"' % hashlib.sha256(self.data).hexdigest()[:16]
        self.last_modified = email.utils.format_datetime(modified, usegmt=True)


class Answer:
    """What went out for one request, for the sent log."""

    def __init__(self, port):
        self.port = port
        self.date = None     # its Date header, once its head is made
        self.range = "-"
        self.status = None   # None: nothing answered
        self.first = 0       # offset in the served bytes of the first body byte
        self.count = 0       # body bytes sent
        self.logged = False


class Plan:
    """How one answer from the served bytes goes: which status, from where, and any trouble."""

    def __init__(self, content, status, first=0, keep=None, trouble=None):
        self.content = content
        self.status = status
        self.first = first
        self.keep = keep         # body bytes to send before the trouble; None: all
        self.trouble = trouble   # None, "cut", "stall" or "short"


class Mirror:
    def __init__(self, args):
        self.args = args
        trailer = b""
        if args.trailer is not None:
            trailer = args.trailer.encode("utf-8")
            if not trailer.endswith(b"\n"):
                trailer += b"\n"
        self.content = Content(args.file, trailer, FIRST_MODIFIED)
        self.changed = None
        if args.changed_file:
            self.changed = Content(args.changed_file, trailer, FIRST_MODIFIED + datetime.timedelta(days=1))
            if args.changed_keeps_validators:
                # A deploy that keeps the ETag and Last-Modified (both made from a normalised
                # mtime and the size): no header can tell the two versions apart.
                self.changed.etag, self.changed.last_modified = self.content.etag, self.content.last_modified
        self.random = random.Random(args.seed)
        self.body_answers = 0   # answers with a body so far, on all ports, where cuts and stalls apply
        self.short_sent = False
        self.troubled = False   # an answer was cut or stalled
        self.busy_left = args.busy_resumes
        self.signatures = 0        # signed addresses handed out (redirect-signed modes)
        self.signatures_used = set()
        self.started = time.monotonic()
        self.weak_dates = set()   # Last-Modified values sent with --last-modified-only weak
        self.plan_lock = threading.Lock()
        self.log_file = open(args.request_log, "a", encoding="utf-8") if args.request_log else None
        self.sent_file = open(args.sent_log, "a", encoding="utf-8") if args.sent_log else None

    # ---- logging -------------------------------------------------------------------------

    def log_request(self, port, method, path, headers):
        if not self.log_file:
            return
        # Tab-separated after the path, so that a reader of the first four fields is not affected.
        ranged = "\t".join((headers.get(name) or "-").replace("\t", " ")
                            for name in ("range", "if-range", "accept-encoding"))
        with log_lock:
            self.log_file.write(f"{now_stamp()} {port} {method} {path}\t{ranged}\n")
            self.log_file.flush()

    def log_sent(self, answer):
        # Once per answer, and before the connection ends, so a client that saw the end finds it.
        if answer.logged or answer.status is None:
            return
        answer.logged = True
        if not self.sent_file:
            return
        with log_lock:
            self.sent_file.write(f"{now_stamp()} {answer.port} {answer.status} {answer.first} "
                                 f"{answer.count} {answer.range}\n")
            self.sent_file.flush()

    # ---- connection handling -------------------------------------------------------------

    def handle(self, raw, port, tls_context):
        conn = raw
        answer = Answer(port)
        if self.args.reset_seconds and time.monotonic() - self.started < self.args.reset_seconds:
            # A server down behind a live address: every connection reset at once, counted.
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            raw.close()
            if self.args.reset_log:
                with log_lock, open(self.args.reset_log, "a", encoding="utf-8") as log:
                    log.write(f"{now_stamp()}\n")
            return
        try:
            raw.settimeout(30)
            if tls_context is not None:
                conn = tls_context.wrap_socket(raw, server_side=True)
            reader = RequestReader(conn)
            # One request per connection, except after an answer that keeps it open.
            while True:
                request = reader.next()
                if request is None:
                    return
                method, path, headers = request
                self.log_request(port, method, path, headers)
                answer.range = headers.get("range") or "-"
                conn.settimeout(None)
                if self.args.answer_after > 0 and stopping.wait(self.args.answer_after):
                    return
                if "range" in headers and not wait_while(self.args.hold_resumes_while):
                    return
                host = headers.get("host") or f"localhost:{port}"
                if not self.respond(conn, method, path, headers, host, tls_context is None, answer):
                    return
                self.log_sent(answer)
                answer = Answer(port)
                conn.settimeout(30)
        except (OSError, ssl.SSLError, ValueError):
            pass  # clients that go away, fail the handshake or send junk are not our problem
        finally:
            self.log_sent(answer)
            try:
                conn.close()
            except OSError:
                pass

    def respond(self, conn, method, path, headers, host, plain, answer):
        """Answers one request; True when the connection stays open for the next one."""
        mode = "normal" if plain else self.args.mode
        head_only = method == "HEAD"
        if method not in ("GET", "HEAD"):
            send_simple(conn, answer, 405, "Method Not Allowed", head_only, extra=["Allow: GET, HEAD"])
            return False

        if mode == "redirect-moves" and self.troubled and path.startswith("/files/"):
            send_simple(conn, answer, 404, "Not Found", head_only)   # moved: the old address is gone
            return False
        if mode in ("redirect-signed", "redirect-signed-expiring") and path.startswith("/files/"):
            # A CDN's signed address, one per request; an expiring one serves a single request.
            sig = re.search(r"[?&]sig=(\d+)", path)
            if sig is None or (mode == "redirect-signed-expiring" and sig.group(1) in self.signatures_used):
                send_simple(conn, answer, 403, "Forbidden", head_only)
                return False
            self.signatures_used.add(sig.group(1))
            path, mode = path[len("/files"):].split("?", 1)[0], "normal"
        if (mode in FILES_MODES or HOPS_MODE.match(mode)) and path.startswith(("/files/", "/moved/")):
            path, mode = path[len("/files"):], "normal"
        name = path.split("?", 1)[0].rsplit("/", 1)[-1]
        if mode == "redirect-space":
            # Only the escaped form is served (a raw space in the request line is no request).
            if path.startswith(SPACED_FOLDER.replace(" ", "%20") + "/"):
                path, mode = "/" + name, "normal"
            elif path.split("?", 1)[0] in KNOWN_PATHS:
                redirect(conn, answer, f"{SPACED_FOLDER}/{name}", head_only)
                return False
        if mode == "redirect-empty-body":
            # Empty 302s on a connection kept open: an absolute location, then a relative one.
            if path.startswith("/hop/"):
                redirect_kept_open(conn, answer, f"../files/{name}")
            else:
                redirect_kept_open(conn, answer, f"https://{host}/hop/{name}")
            return True
        if mode == "redirect-relative":
            # A chain of relative locations: path-absolute with a query, then path-relative.
            if path.startswith("/r1/"):
                redirect(conn, answer, f"../r2/{name}", head_only)
                return False
            if path.startswith("/r2/"):
                path, mode = "/" + name, "normal"
            else:
                redirect(conn, answer, f"/r1/{name}?from=top", head_only)
                return False
        if HOPS_MODE.match(mode):
            # That many redirects in a row: to /hop1/<name>, ..., then to /files/<name>.
            hops, done = int(HOPS_MODE.match(mode).group(1)), int(path[4:].split("/", 1)[0]) if path.startswith("/hop") else 0
            redirect(conn, answer, f"/hop{done + 1}/{name}" if done + 1 < hops else f"/files/{name}", head_only)
            return False
        if path.split("?", 1)[0] not in KNOWN_PATHS:
            send_simple(conn, answer, 404, "Not Found", head_only)
            return False
        body = self.content.data

        if mode in WHOLE_MODES:
            self.serve(conn, headers, head_only, self.args.rate if mode == "slow" else None, answer)
        elif mode in CHUNKED_MODES:
            self.serve_chunked(conn, headers, head_only, mode, answer)
        elif mode == "404":
            send_simple(conn, answer, 404, "Not Found", head_only)
        elif mode == "500":
            send_simple(conn, answer, 500, "Internal Server Error", head_only)
        elif mode == "redirect":
            redirect(conn, answer, f"https://{host}/files{path}", head_only)
        elif mode == "redirect-empty-location":
            redirect(conn, answer, "", head_only)
        elif mode == "redirect-query-url":
            # A path-absolute location whose query holds a URL: still a path on this server.
            redirect(conn, answer, f"/files{path}?src=https://cdn.example/", head_only)
        elif mode in ("redirect-signed", "redirect-signed-expiring"):
            with self.plan_lock:
                self.signatures += 1
                signature = self.signatures
            redirect(conn, answer, f"https://{host}/files{path}?sig={signature}", head_only)
        elif mode == "redirect-moves":
            # Once an answer was cut or stalled, the same path leads somewhere else.
            redirect(conn, answer, f"https://{host}/{'moved' if self.troubled else 'files'}{path}", head_only)
        elif mode in ("redirect-300", "redirect-304"):
            # A Location on a status that is no move: a choice, or "not modified".
            status = int(mode[-3:])
            send_head(conn, answer, status, "Multiple Choices" if status == 300 else "Not Modified",
                      0 if status == 300 else None, [f"Location: https://{host}/files{path}"])
        elif mode == "redirect-other-port":
            # The other port: another server as the address goes (Wine's certificate check does
            # not take the certificate's 127.0.0.1 for that host name, so the name stays).
            other = [port for port in self.args.port if f":{port}" != host[host.rfind(":"):]] or self.args.port
            redirect(conn, answer, f"https://localhost:{other[0]}/files{path}", head_only)
        elif mode == "redirect-no-authority":
            redirect(conn, answer, f"https:/{host}/files{path}", head_only)
        elif mode in ("unframed", "unframed-cut"):
            # No Content-Length, not chunked: the body ends where the connection does, after half.
            send_head(conn, answer, 200, "OK", None, [f"ETag: {self.content.etag}"])
            if not head_only:
                send_body(conn, body[:len(body) // 2], answer)
                if mode == "unframed":
                    self.log_sent(answer)
                    close_cleanly(conn)
                else:
                    self.drop(conn, answer)
        elif mode == "partial-unasked":
            send_head(conn, answer, 206, "Partial Content", len(body), [f"Content-Range: bytes 0-{len(body) - 1}/{len(body)}"])
            if not head_only:
                send_body(conn, body, answer)
        elif mode in ("length-not-a-number", "header-without-colon"):
            # Heads some HTTP stacks refuse before the program sees them.
            # The bad line before the framing, so that a stack that stops reading there shows it.
            framing = "Content-Length: abc" if mode == "length-not-a-number" else f"Content-Length: {len(body)}"
            bad = [] if mode == "length-not-a-number" else ["X-Vantrel-No-Colon"]
            send_head(conn, answer, 200, "OK", None, [*bad, framing, f"ETag: {self.content.etag}"])
            if not head_only:
                send_body(conn, body, answer)
        elif mode == "repeated-coding":
            send_head(conn, answer, 200, "OK", len(body), ["Content-Encoding: identity", "Content-Encoding: gzip"])
            if not head_only:
                send_body(conn, body, answer)
        elif mode == "redirect-loop":
            redirect(conn, answer, f"https://{host}{path}", head_only)
        elif mode == "redirect-http":
            redirect(conn, answer, f"http://localhost:{self.args.http_port}{path}", head_only)
        elif mode == "truncated":
            send_head(conn, answer, 200, "OK", len(body))
            if not head_only:
                send_body(conn, body[:len(body) // 2], answer)
                self.drop(conn, answer)
        elif mode == "silent":
            stopping.wait()
        elif mode == "stall":
            send_head(conn, answer, 200, "OK", len(body))
            if not head_only:
                send_body(conn, body[:max(1, len(body) // 2)], answer)
            self.log_sent(answer)
            stopping.wait()
        elif mode == "endless-headers":
            answer.status = 200
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nDate: "
                         + http_date().encode("ascii") + b"\r\n")
            n = 0
            while not stopping.is_set():
                lines = []
                for _ in range(64):
                    n += 1
                    lines.append(b"X-Vantrel-Filler-%d: %s\r\n" % (n, b"x" * 80))
                conn.sendall(b"".join(lines))
                time.sleep(0.01)
        elif mode == "huge-body":
            send_head(conn, answer, 200, "OK", min(HUGE_ANNOUNCED, len(body)))
            if not head_only:
                conn.sendall(body)
                answer.count += len(body)
                filler = b"\0" * (256 * 1024)
                while answer.count < HUGE_TOTAL and not stopping.is_set():
                    conn.sendall(filler)
                    answer.count += len(filler)
        return False

    def serve_chunked(self, conn, headers, head_only, mode, answer):
        """Chunked, with validators and `Range: bytes=N-` honoured (416 at the end); a wrong
        Content-Length beside the chunks, or the first answer cut before its last chunk."""
        body = self.content.data
        # A dynamic origin or a proxy that ignores Range: the question about what follows is
        # answered with the whole body again.
        first = None if mode == "chunked-ranges-ignored" else self.range_start(self.content, headers)
        if first is not None and first >= len(body):
            # A Content-Range on a 416 is only a SHOULD: some servers leave it out.
            send_simple(conn, answer, 416, "Range Not Satisfiable", head_only,
                        extra=[] if mode == "chunked-bare-416" else [f"Content-Range: bytes */{len(body)}"])
            return
        answer.date = http_date()
        extra = ["Transfer-Encoding: chunked", *self.validator_lines(self.content, answer.date)]
        if mode in ("chunked-short-length", "chunked-long-length"):
            extra.append(f"Content-Length: {len(body) // 2 if mode == 'chunked-short-length' else len(body) * 2}")
        if first is not None:
            extra.append(f"Content-Range: bytes {first}-{len(body) - 1}/{len(body)}")
            body = body[first:]
        send_head(conn, answer, 206 if first is not None else 200,
                  "Partial Content" if first is not None else "OK", None, extra)
        answer.first = first or 0
        if head_only:
            return
        with self.plan_lock:
            cut = mode == "chunked-cut" and not self.troubled
            self.troubled = True
        send_chunks(conn, body[:len(body) // 2] if cut else body, answer)
        if cut:
            self.drop(conn, answer)
        else:
            conn.sendall(b"0\r\n\r\n")

    # ---- whole bodies: validators, ranges, cuts and stalls -------------------------------

    def serve(self, conn, headers, head_only, rate, answer):
        if "range" in headers:
            with self.plan_lock:
                busy = self.busy_left > 0
                self.busy_left -= busy
            if busy:
                send_simple(conn, answer, 503, "Service Unavailable", head_only, extra=["Retry-After: 1"])
                return
        plan = self.plan(headers, head_only)
        total = len(plan.content.data)
        if plan.status == 416:
            send_simple(conn, answer, 416, "Range Not Satisfiable", head_only,
                        extra=[f"Content-Range: bytes */{total}"])
            return
        body = plan.content.data[plan.first:]
        answer.date = http_date()
        extra = self.validator_lines(plan.content, answer.date, partial=plan.status == 206)
        if not self.args.ignore_ranges:
            extra.append("Accept-Ranges: bytes")
        if plan.status == 206:
            extra.append(f"Content-Range: bytes {plan.first}-{total - 1}/{total}")
            if self.args.partial_coding:
                extra.append(f"Content-Encoding: {self.args.partial_coding}")
            length = len(body)
            if plan.trouble == "short":
                length = plan.keep if self.args.short_partial == "with-length" else None
            send_head(conn, answer, 206, "Partial Content", length, extra)
        else:
            send_head(conn, answer, 200, "OK", len(body), extra)
        answer.first = plan.first
        if head_only:
            return
        trickle = (self.args.trickle_seconds, self.args.trickle_rate) if self.args.trickle_seconds > 0 else None
        body = body[:plan.keep]
        hold = None
        if self.args.hold_at is not None and plan.first < self.args.hold_at < plan.first + len(body):
            hold = (self.args.hold_at - plan.first, self.args.hold_at_while)
        send_body(conn, body, answer, rate, trickle, hold)
        if plan.trouble == "cut":
            self.drop(conn, answer)
        elif plan.trouble == "stall":
            self.log_sent(answer)
            wait_until_gone(conn)
        elif plan.trouble == "short" and self.args.short_partial == "without-length":
            self.log_sent(answer)
            close_cleanly(conn)

    def plan(self, headers, head_only):
        # One lock for the choice of bytes, the count and the random cut points, so concurrent
        # answers on both ports still take them in turn.
        with self.plan_lock:
            content = self.content
            first = self.range_start(content, headers)
            if first is not None and first >= len(content.data):
                return Plan(content, 416)
            plan = Plan(content, 200 if first is None else 206, first or 0)
            if head_only:
                return plan
            length = len(content.data) - plan.first
            n = self.body_answers
            self.body_answers += 1
            if n < self.args.cuts:
                plan.trouble = "cut"
                plan.keep = self.random.randint(1, length - 1) if length > 1 else 0
                if n == 0 and self.args.first_cut_at is not None:
                    plan.keep = min(self.args.first_cut_at, length)
            elif n < self.args.cuts + self.args.stalls:
                plan.trouble = "stall"
                plan.keep = max(1, length // 2)
            elif plan.status == 206 and self.args.short_partial and not self.short_sent:
                plan.trouble = "short"
                plan.keep = length // 2
                self.short_sent = True
            if plan.trouble in ("cut", "stall"):
                self.troubled = True
            if plan.trouble in ("cut", "stall") and self.changed:
                self.content, self.changed = self.changed, None
            return plan

    def range_start(self, content, headers):
        """N of a `Range: bytes=N-` to honour; None to answer with the whole body."""
        if self.args.ignore_ranges:
            return None
        match = re.fullmatch(r"bytes=(\d+)-", headers.get("range", ""))
        if not match:
            return None
        if ("if-range" in headers and not self.args.ignore_if_range
                and headers["if-range"] not in self.validators(content)):
            return None
        return int(match.group(1))

    def validators(self, content):
        """The If-Range values that name `content` (a careless server takes its own weak dates)."""
        if self.args.no_validators:
            return ()
        if self.args.last_modified_only == "weak":
            return tuple(self.weak_dates)
        if self.args.last_modified_only == "strong":
            return (content.last_modified,)
        return (content.etag, content.last_modified)

    def validator_lines(self, content, date, partial=False):
        if self.args.no_validators:
            return []
        if self.args.last_modified_only == "weak":
            # Modified the second it was sent: a date no client can know the file by.
            self.weak_dates.add(date)
            return [f"Last-Modified: {date}"]
        if self.args.last_modified_only == "strong":
            return [f"Last-Modified: {content.last_modified}"]
        if partial and self.args.partial_validators:
            tag = content.etag.strip('"')
            return {"none": [], "weak": [f'ETag: W/"{tag}"'],
                    "other": [f'ETag: "{tag[::-1]}"']}[self.args.partial_validators]
        if self.args.mode == "repeated-etag" and not partial:
            # Two versions named at once (a cache's merge): the first is the one the mirror honours.
            return [f"ETag: {content.etag}", f'ETag: "{content.etag.strip(chr(34))[::-1]}"',
                    f"Last-Modified: {content.last_modified}"]
        return [f"ETag: {content.etag}", f"Last-Modified: {content.last_modified}"]

    def drop(self, conn, answer):
        self.log_sent(answer)
        # Drop the connection without a TLS close_notify, as a dying server would.
        conn.shutdown(socket.SHUT_RDWR)


def now_stamp():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")


def http_date():
    """Now, as a Date header gives it (IMF-fixdate)."""
    return email.utils.formatdate(usegmt=True)


class RequestReader:
    """Request heads from one connection, one after another (GET and HEAD have no body)."""

    def __init__(self, conn):
        self.conn = conn
        self.data = b""

    def next(self):
        while b"\r\n\r\n" not in self.data:
            if len(self.data) > MAX_REQUEST_HEAD:
                raise ValueError("request head too large")
            chunk = self.conn.recv(4096)
            if not chunk:
                return None
            self.data += chunk
        head, self.data = self.data.split(b"\r\n\r\n", 1)
        return parse_request_head(head)


def parse_request_head(head):
    head = head.decode("latin-1")
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


def send_head(conn, answer, status, reason, length, extra=()):
    lines = [f"HTTP/1.1 {status} {reason}", "Server: vantrel-test-mirror", f"Date: {answer.date or http_date()}",
             "Content-Type: application/octet-stream", "Connection: close"]
    if length is not None:
        lines.append(f"Content-Length: {length}")
    lines.extend(extra)
    answer.status = status
    conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))


def send_simple(conn, answer, status, reason, head_only, extra=()):
    # Its short text is not counted as body in the sent log: that counts the served bytes.
    body = f"{status} {reason}\n".encode("ascii")
    lines = [f"HTTP/1.1 {status} {reason}", "Server: vantrel-test-mirror", f"Date: {http_date()}",
             "Content-Type: text/plain", "Connection: close", f"Content-Length: {len(body)}", *extra]
    answer.status = status
    conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + (b"" if head_only else body))


def redirect(conn, answer, location, head_only):
    send_simple(conn, answer, 302, "Found", head_only, extra=[f"Location: {location}"])


def redirect_kept_open(conn, answer, location):
    # No body and no "Connection: close": the client may send its next request on this connection.
    lines = ["HTTP/1.1 302 Found", "Server: vantrel-test-mirror", f"Date: {http_date()}",
             "Content-Length: 0", f"Location: {location}"]
    answer.status = 302
    conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))


def send_body(conn, body, answer, rate=None, trickle=None, hold=None):
    """Sends `body` at `rate` (None: at once); with trickle = (seconds, rate), at that rate for
    its first seconds; with hold = (count, path), its first count bytes, then the rest once path
    is gone."""
    sent = 0
    if trickle is not None:
        seconds, trickle_rate = trickle
        sent = send_paced(conn, body, 0, answer, trickle_rate, time.monotonic() + seconds)
    if hold is not None and sent < hold[0]:
        sent = send_paced(conn, body[:hold[0]], sent, answer, rate)
        if not wait_while(hold[1]):
            return
    send_paced(conn, body, sent, answer, rate)


def wait_while(path):
    """Waits while the file at `path` (None: no file) exists, so that a test holds the mirror in
    a state until it has seen what it looks for; False when the mirror stops meanwhile."""
    while path is not None and os.path.exists(path):
        if stopping.wait(0.05):
            return False
    return True


def send_paced(conn, body, sent, answer, rate, until=None):
    # In pieces, so the sent log counts what went out even when the client leaves halfway;
    # with a rate, small pieces on a fixed schedule, so the rate holds however long the file is.
    piece = PIECE * 4 if rate is None else max(1, min(PIECE, rate // 20))
    start, first = time.monotonic(), sent
    while sent < len(body) and (until is None or time.monotonic() < until):
        if stopping.is_set():
            return len(body)
        chunk = body[sent:sent + piece]
        conn.sendall(chunk)
        sent += len(chunk)
        answer.count += len(chunk)
        delay = start + (sent - first) / rate - time.monotonic() if rate else 0
        if delay > 0:
            time.sleep(delay)
    return sent


def send_chunks(conn, body, answer):
    """`body` as chunks, without the last (empty) one."""
    for i in range(0, len(body), PIECE):
        piece = body[i:i + PIECE]
        conn.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
        answer.count += len(piece)


def close_cleanly(conn):
    # A close-delimited body ends with the TLS close_notify: the end of the answer, not a cut.
    if isinstance(conn, ssl.SSLSocket):
        try:
            conn.settimeout(2)
            conn.unwrap()
        except (OSError, ValueError):
            pass


def wait_until_gone(conn):
    # Sends nothing more; ends when the client closes (or the mirror stops), not before.
    conn.settimeout(0.2)
    while not stopping.is_set():
        try:
            if not conn.recv(4096):
                return
        except socket.timeout:
            continue


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


def mode_named(text):
    if text in MODES or HOPS_MODE.match(text):
        return text
    raise argparse.ArgumentTypeError(f"no mode {text!r}: one of {', '.join(MODES)}, or redirect-<n>-hops")


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
    p.add_argument("--mode", type=mode_named, default="normal")
    p.add_argument("--rate", type=int, default=(1 << 20) // 3,
                   help="bytes per second in slow mode (default: %(default)s, ~3 s per MiB)")
    p.add_argument("--answer-after", type=float, default=0.0,
                   help="seconds to wait between a request and its answer (a slow first connection)")
    p.add_argument("--request-log", help="append one line per request: time port method path, then "
                                         "tab Range tab If-Range tab Accept-Encoding (each - when not sent)")
    p.add_argument("--sent-log", help="append one line per answer: time port status first-byte "
                                      "body-bytes-sent range-header-or-dash")
    p.add_argument("--no-validators", action="store_true",
                   help="no ETag or Last-Modified (then no If-Range ever matches)")
    p.add_argument("--ignore-ranges", action="store_true", help="answer Range requests with 200 and the whole body")
    p.add_argument("--cuts", type=int, default=0,
                   help="drop the first K answers with a body after a random part of it (normal, slow)")
    p.add_argument("--first-cut-at", type=int, help="the first cut sends this many bytes of the body (0: the head alone)")
    p.add_argument("--stalls", type=int, default=0,
                   help="stall the first K answers with a body (after the cuts) halfway (normal, slow)")
    p.add_argument("--seed", type=int, default=1, help="seed of the cut points (default: %(default)s)")
    p.add_argument("--changed-file", help="served instead of --file once an answer was cut or stalled")
    p.add_argument("--reset-seconds", type=float, default=0,
                   help="reset every connection at once for the first S seconds, then serve")
    p.add_argument("--reset-log", help="where each reset connection is counted, with its time")
    p.add_argument("--changed-keeps-validators", action="store_true",
                   help="the changed file keeps the first one's ETag and Last-Modified")
    p.add_argument("--ignore-if-range", action="store_true",
                   help="honour Range whatever If-Range says (a server that ignores If-Range)")
    p.add_argument("--partial-validators", choices=PARTIAL_VALIDATORS,
                   help="206 answers carry, instead of ETag and Last-Modified: nothing, a weak tag "
                        "W/\"<the same tag text>\", or another strong tag")
    p.add_argument("--last-modified-only", choices=("weak", "strong"),
                   help="no ETag; Last-Modified equal to the answer's Date (weak) or the fixed 2024 "
                        "date (strong)")
    p.add_argument("--short-partial", choices=("with-length", "without-length"),
                   help="the first 206 answer sends half the bytes its Content-Range promises: with a "
                        "Content-Length of that half, or with none and the connection closed after it")
    p.add_argument("--partial-coding", choices=("gzip",),
                   help="206 answers say Content-Encoding: that (their bytes unchanged)")
    p.add_argument("--busy-resumes", type=int, default=0,
                   help="answer the first K ranged requests 503 with Retry-After: 1 (normal, slow)")
    p.add_argument("--trickle-seconds", type=float, default=0.0,
                   help="answers with a body send at --trickle-rate for their first SECONDS")
    p.add_argument("--trickle-rate", type=int, default=700,
                   help="bytes per second while trickling (default: %(default)s)")
    p.add_argument("--hold-resumes-while", metavar="PATH",
                   help="a Range request is answered only once PATH is gone")
    p.add_argument("--hold-at", type=int, metavar="BYTE",
                   help="a body stops before the served bytes' BYTE while --hold-at-while exists")
    p.add_argument("--hold-at-while", metavar="PATH", help="see --hold-at")
    p.add_argument("--ready-file", help="written once listening, with the ports in --port order (removed at start and at exit)")
    args = p.parse_args(argv)
    if args.rate <= 0:
        p.error("--rate must be positive")
    if args.cuts < 0 or args.stalls < 0:
        p.error("--cuts and --stalls must not be negative")
    if args.trickle_seconds < 0 or args.trickle_rate <= 0:
        p.error("--trickle-seconds must not be negative and --trickle-rate must be positive")
    if (args.hold_at is None) != (args.hold_at_while is None):
        p.error("--hold-at and --hold-at-while go together")
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
