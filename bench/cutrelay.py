#!/usr/bin/python3
"""A TCP relay on loopback that drops connections: it listens on 127.0.0.1 and [::1], forwards
each connection to 127.0.0.1:<upstream> (TLS passes through untouched) and ends the first `cuts`
connections the server answers after `cut_after` bytes from the server, mid-stream, as a
network that goes away would. It counts the bytes it forwarded each way: what the server sent
that reached the client, whoever the client is. Python standard library only.

bench/bench.py uses it in-process; on its own, for trying a client by hand:

    /usr/bin/python3 bench/cutrelay.py --port 48543 --to 48545 --cuts 5 --cut-after 2796202

runs until SIGINT or SIGTERM, printing each connection as it ends and the totals at the end.
"""

import argparse
import selectors
import signal
import socket
import sys
import threading
import time

CHUNK = 256 * 1024


class Connection:
    def __init__(self, client, upstream):
        self.client, self.upstream = client, upstream
        self.index = None       # among the connections the server answered, from 0
        self.limit = None       # bytes from the server before the cut; None: never cut
        self.to_client = self.to_server = 0
        self.cut = False
        self.pumps_left = 2


class CutRelay:
    def __init__(self, port, upstream_port, on_close=None):
        self.upstream = ("127.0.0.1", upstream_port)
        self.on_close = on_close or (lambda connection: None)
        self.lock = threading.Lock()
        self.idle = threading.Condition(self.lock)
        self.open = 0
        self.arm(0, 0)
        self.listeners = [socket.create_server(("127.0.0.1", port)),
                          socket.create_server(("::1", port), family=socket.AF_INET6)]
        self.stopping = False
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()

    def arm(self, cuts, cut_after):
        """From now on: the next `cuts` connections the server answers are cut after `cut_after`
        bytes from it; the counts start again from zero."""
        with self.lock:
            self.cuts, self.cut_after = cuts, cut_after
            self.answered = 0
            self.finished = []

    def counts(self, timeout=10):
        """Once no connection is open (up to `timeout` s): bytes forwarded to the client and to
        the server in all, the connections the server answered and how many of them were cut."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while self.open:
                if not self.idle.wait(deadline - time.monotonic()):
                    raise TimeoutError(f"{self.open} relayed connections still open after {timeout} s")
            done = [c for c in self.finished if c.index is not None]
            return {"to_client": sum(c.to_client for c in self.finished),
                    "to_server": sum(c.to_server for c in self.finished),
                    "connections": len(done), "cut": sum(c.cut for c in done),
                    "per_connection": [c.to_client for c in sorted(done, key=lambda c: c.index)]}

    def close(self):
        self.stopping = True
        self.acceptor.join()
        for listener in self.listeners:
            listener.close()

    # --- inside ---------------------------------------------------------------
    def _accept(self):
        with selectors.DefaultSelector() as selector:
            for listener in self.listeners:
                selector.register(listener, selectors.EVENT_READ)
            while not self.stopping:
                for key, _ in selector.select(0.2):
                    try:
                        client, _ = key.fileobj.accept()
                    except OSError:
                        continue
                    try:
                        upstream = socket.create_connection(self.upstream)
                    except OSError:
                        client.close()
                        continue
                    for s in (client, upstream):
                        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    connection = Connection(client, upstream)
                    with self.lock:
                        self.open += 1
                    threading.Thread(target=self._to_client, args=(connection,), daemon=True).start()
                    threading.Thread(target=self._to_server, args=(connection,), daemon=True).start()

    def _to_client(self, c):
        buffer = memoryview(bytearray(CHUNK))
        try:
            while True:
                n = c.upstream.recv_into(buffer)
                if n == 0:
                    break
                if c.index is None:
                    # Counted from the server's first bytes: a connection nobody answers (a
                    # client trying its other address) uses up no cut.
                    with self.lock:
                        c.index = self.answered
                        self.answered += 1
                        if c.index < self.cuts:
                            c.limit = self.cut_after
                if c.limit is not None:
                    n = min(n, c.limit - c.to_client)
                c.client.sendall(buffer[:n])
                c.to_client += n
                if c.limit is not None and c.to_client >= c.limit:
                    c.cut = True
                    # The server learns at once; the client gets what was sent, then the end,
                    # mid-body, with no TLS close_notify.
                    self._shut(c.upstream, socket.SHUT_RDWR)
                    break
        except OSError:
            pass
        self._shut(c.client, socket.SHUT_WR)
        self._pump_done(c)

    def _to_server(self, c):
        buffer = memoryview(bytearray(CHUNK))
        forwarding = True
        try:
            while True:
                n = c.client.recv_into(buffer)
                if n == 0:
                    break
                if forwarding:
                    try:
                        c.upstream.sendall(buffer[:n])
                        c.to_server += n
                    except OSError:
                        # Cut: what the client still sends is read and dropped, so that closing
                        # never resets the connection before the client has had its bytes.
                        forwarding = False
        except OSError:
            pass
        self._shut(c.upstream, socket.SHUT_WR)
        self._pump_done(c)

    @staticmethod
    def _shut(s, how):
        try:
            s.shutdown(how)
        except OSError:
            pass

    def _pump_done(self, c):
        with self.lock:
            c.pumps_left -= 1
            if c.pumps_left:
                return
        c.client.close()
        c.upstream.close()
        self.on_close(c)
        with self.lock:
            self.finished.append(c)
            self.open -= 1
            self.idle.notify_all()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--port", type=int, required=True, help="where clients connect (127.0.0.1 and [::1])")
    p.add_argument("--to", type=int, required=True, help="the server's port on 127.0.0.1")
    p.add_argument("--cuts", type=int, default=0, help="connections to cut")
    p.add_argument("--cut-after", type=int, default=1 << 20, help="bytes from the server before each cut")
    args = p.parse_args()

    def report(c):
        print(f"connection {c.index}: {c.to_client} bytes to the client, {c.to_server} to the server"
              f"{', cut' if c.cut else ''}", flush=True)

    relay = CutRelay(args.port, args.to, on_close=report)
    relay.arm(args.cuts, args.cut_after)
    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())
    print(f"relaying {args.port} to {args.to}", flush=True)
    while not stop.wait(0.5):
        pass
    relay.close()
    totals = relay.counts()
    print(f"{totals['to_client']} bytes to clients, {totals['to_server']} to the server; "
          f"{totals['connections']} connections answered, {totals['cut']} cut", flush=True)


if __name__ == "__main__":
    sys.exit(main())
