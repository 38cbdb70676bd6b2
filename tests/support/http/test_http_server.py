#!/usr/bin/env python3
"""Small HTTP server for tests, on 127.0.0.1 and a free port.

Usage:
  test_http_server.py --routes ROUTES.json [--port-file FILE] [--log FILE]
                      [--watch-stdin] [--port N] [--tls-cert PEM --tls-key PEM]

--port takes that port instead of a free one (a server started again where a killed one
was). With --tls-cert and --tls-key it speaks HTTPS with that certificate (chain) and key;
a client that refuses the certificate only ends its own connection. Prints "PORT <n>" on stdout (and writes <n> to --port-file) once it accepts
connections. Stops on SIGTERM or SIGINT, and with --watch-stdin also when its
standard input reaches end of file (the test process holding the pipe died). Every request is appended to --log as
"<METHOD> <path>" followed by its raw header lines and an empty line.

ROUTES.json maps a path (without query) to a route; a path not listed gets 404.
Route fields (all optional):
  status        HTTP status (200)
  headers       {"Name": "value"}; sent as given, nothing else is added except
                Content-Length for plain bodies. "{port}" in values becomes the port.
  raw_headers   list of raw header lines sent verbatim ("Location:" with no value)
  body          text body; "{port}" becomes the port
  body_size     pad (or cut) the body to this many bytes, repeating it
  file          serve this file's bytes
  loop          with file: repeat it endlessly (a radio stream)
  length        with file: send its Content-Length (a file on a web server)
  rate          bytes per second to pace file/body data (real time), 0 = unpaced
  delay         seconds to wait before the status line
  stall_after   bytes of body sent before the response stalls forever (-1 = never)
  drop_after    seconds after which the server closes the connection in the middle
                of file/body data (a server that drops its listeners)
  reset_after   like drop_after, but the connection is reset (RST) instead of closed
                (a connection that breaks)
  live          with file and loop: a live broadcast. The stream runs on the server's
                clock from its start (at "rate"), so a listener joins it wherever it
                is, at any byte (rarely on a frame boundary). Needs "rate".
  live_offset   with live: seconds the broadcast had already run when the server
                started (0)
  burst         bytes sent at once on connect before the pacing starts (a server that
                hands a new listener what it has buffered; with live, the bytes just
                before the current position); 0 = none
  stall_for_icy stall right after the headers when the client asked for
                "Icy-MetaData: 1" (a media player), answer normally otherwise
  icy           with file: when the client asked for "Icy-MetaData: 1" send
                "icy-metaint: <metaint>" and a metadata block after every
                <metaint> bytes. Needs "titles" (list); the title changes every
                "title_blocks" blocks (default 4); after the last title the last
                one repeats. "icy_name" is sent as icy-name. "title_encoding"
                names the titles' encoding on the wire (utf-8; e.g. cp1252 or
                latin-1 as old encoders send them).
  metaint       ICY metadata interval in bytes (8192)
"""

import argparse
import json
import os
import signal
import socket
import struct
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ROUTES = {}
PORT = 0
STARTED = time.monotonic()  # the clock of live broadcasts
LOG_PATH = None
LOG_LOCK = threading.Lock()
STOP = threading.Event()


def subst(text):
    return text.replace("{port}", str(PORT)) if isinstance(text, str) else text


class Pacer:
    """Sleeps so that data goes out at `rate` bytes per second from the start."""

    def __init__(self, rate, burst=0):
        self.rate = rate
        self.sent = -burst  # the burst goes out before the pacing starts
        self.start = time.monotonic()

    def wait(self, size):
        self.sent += size
        if self.rate <= 0:
            return
        due = self.start + self.sent / self.rate
        delay = due - time.monotonic()
        if delay > 0:
            STOP.wait(delay)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):
        pass

    def finish(self):
        try:
            super().finish()
        except OSError:
            pass  # a connection reset on purpose has nothing left to flush

    def record(self):
        if not LOG_PATH:
            return
        with LOG_LOCK, open(LOG_PATH, "a", encoding="utf-8", errors="replace") as log:
            log.write("%s %s\n%s\n" % (self.command, self.path, str(self.headers).rstrip("\n")))
            log.write("\n")

    def do_GET(self):
        self.record()
        route = ROUTES.get(self.path.split("?", 1)[0])
        if route is None:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if route.get("delay"):
            STOP.wait(float(route["delay"]))
        try:
            self.answer(route)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def answer(self, route):
        self.drop_at = None
        self.reset = bool(route.get("reset_after"))
        after = route.get("reset_after") or route.get("drop_after")
        if after:
            self.drop_at = time.monotonic() + float(after)
        icy = route.get("icy") and self.headers.get("Icy-MetaData", "") == "1"
        self.send_response(int(route.get("status", 200)))
        for name, value in route.get("headers", {}).items():
            self.send_header(name, subst(value))
        for line in route.get("raw_headers", []):
            self._headers_buffer.append((subst(line) + "\r\n").encode("latin-1"))
        metaint = int(route.get("metaint", 8192))
        if icy:
            self.send_header("icy-metaint", str(metaint))
            if route.get("icy_name"):
                self.send_header("icy-name", route["icy_name"])
        if route.get("stall_for_icy") and self.headers.get("Icy-MetaData", "") == "1":
            self.end_headers()
            self.wfile.flush()
            STOP.wait()
            return
        body = self.body_of(route)
        if body is not None and "file" not in route:
            self.send_header("Content-Length", str(len(body)))
        if "file" in route and route.get("length") and not icy:
            self.send_header("Content-Length", str(os.path.getsize(route["file"])))
        self.end_headers()
        self.wfile.flush()
        if "file" in route:
            self.send_file(route, icy, metaint)
        elif body:
            self.send_paced(body, route)
        if route.get("stall_after", -1) >= 0:
            STOP.wait()

    def body_of(self, route):
        if "body" not in route:
            return None
        body = subst(route["body"]).encode("latin-1")
        size = route.get("body_size")
        if size is not None and body:
            body = (body * (size // len(body) + 1))[:size]
        return body

    def send_paced(self, data, route):
        limit = route.get("stall_after", -1)
        if limit >= 0:
            data = data[:limit]
        pacer = Pacer(float(route.get("rate", 0)), int(route.get("burst", 0)))
        for i in range(0, len(data), 1024):
            chunk = data[i:i + 1024]
            self.wfile.write(chunk)
            self.wfile.flush()
            pacer.wait(len(chunk))
            if STOP.is_set() or self.dropped():
                return

    def dropped(self):
        if self.drop_at is None or time.monotonic() < self.drop_at:
            return False
        if self.reset:
            # Closing with a zero linger time sends a reset instead of the usual end.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        return True

    def send_file(self, route, icy, metaint):
        with open(route["file"], "rb") as media:
            data = media.read()
        start = live_position(route, len(data))
        if not icy:
            if route.get("loop"):
                data = data[start:] + data[:start]
                while not STOP.is_set() and not self.dropped():
                    self.send_paced(data, route)
                    route = dict(route, burst=0)
            else:
                self.send_paced(data, route)
            return
        self.send_icy(data, route, metaint, start)

    def send_icy(self, data, route, metaint, position=0):
        titles = route.get("titles", [""])
        per_title = int(route.get("title_blocks", 4))
        pacer = Pacer(float(route.get("rate", 0)), int(route.get("burst", 0)))
        block = 0
        while not STOP.is_set() and not self.dropped():
            chunk = b""
            while len(chunk) < metaint:
                take = data[position:position + metaint - len(chunk)]
                chunk += take
                position += len(take)
                if position >= len(data):
                    if not route.get("loop"):
                        break
                    position = 0
            self.wfile.write(chunk)
            if len(chunk) < metaint:
                self.wfile.flush()
                return
            title = titles[min(block // per_title, len(titles) - 1)]
            self.wfile.write(icy_block(title, route.get("title_encoding", "utf-8")))
            self.wfile.flush()
            pacer.wait(len(chunk))
            block += 1


def live_position(route, size):
    """Where a new listener joins: for a live broadcast the byte it has reached on the
    server's clock, less the burst; else the start of the file."""
    if not route.get("live") or size == 0:
        return 0
    rate = float(route["rate"])
    elapsed = time.monotonic() - STARTED + float(route.get("live_offset", 0))
    return (int(elapsed * rate) - int(route.get("burst", 0))) % size


class TlsHTTPServer(ThreadingHTTPServer):
    """HTTPS: the handshake happens in the connection's own thread, so that a client that
    stalls or refuses the certificate holds up nobody else."""

    context = None

    def get_request(self):
        sock, address = self.socket.accept()
        return self.context.wrap_socket(sock, server_side=True,
                                        do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):
        if isinstance(sys.exc_info()[1], (ssl.SSLError, ConnectionError)):
            return  # the client refused the certificate or went away
        super().handle_error(request, client_address)


def icy_block(title, encoding="utf-8"):
    text = ("StreamTitle='%s';StreamUrl='';" % title).encode(encoding)
    length = (len(text) + 15) // 16
    return bytes([length]) + text.ljust(length * 16, b"\0")


def main():
    global ROUTES, PORT, LOG_PATH
    parser = argparse.ArgumentParser()
    parser.add_argument("--routes", required=True)
    parser.add_argument("--port-file")
    parser.add_argument("--log")
    parser.add_argument("--watch-stdin", action="store_true")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    args = parser.parse_args()
    with open(args.routes, encoding="utf-8") as routes:
        ROUTES = json.load(routes)
    LOG_PATH = args.log

    ThreadingHTTPServer.daemon_threads = True
    ThreadingHTTPServer.allow_reuse_address = True
    server_class = ThreadingHTTPServer
    if args.tls_cert:
        TlsHTTPServer.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        TlsHTTPServer.context.load_cert_chain(args.tls_cert, args.tls_key)
        server_class = TlsHTTPServer
    server = server_class(("127.0.0.1", args.port), Handler)
    PORT = server.server_address[1]

    def stop(*_):
        STOP.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if args.watch_stdin:
        def watch():
            while sys.stdin.buffer.read(4096):
                pass
            stop()
        threading.Thread(target=watch, daemon=True).start()
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as port_file:
            port_file.write(str(PORT))
        os.replace(args.port_file + ".tmp", args.port_file)
    sys.stdout.write("PORT %d\n" % PORT)
    sys.stdout.flush()
    server.serve_forever(poll_interval=0.2)
    server.server_close()
    # The stdin watcher may still block in a read: leave without the interpreter's
    # shutdown, which would wait for it and abort.
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
