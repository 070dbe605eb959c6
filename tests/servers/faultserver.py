#!/usr/bin/python3
"""A scripted HTTP server for the faults a real mirror will not commit on purpose.

Serves the files of a mirror tree under paths that name the misbehaviour:

  /file/NAME              the file; a Range "bytes=N-" answered with 206
  /ignore-range/NAME      the whole file with 200, whatever Range was asked
  /always-206/NAME        206 with the whole file, even without a Range
  /short/NAME             announces the (remaining) length, sends half, closes
  /long/NAME              100 bytes more than the file, announced honestly
  /overrun/NAME           announces the file's length, sends 100 bytes more
  /long-unannounced/NAME  100 bytes more than the file, no length, ends at close
  /encoding/VALUE/NAME    the file with "Content-Encoding: VALUE" ("-": empty)
  /status/CODE            status CODE with the body "status CODE body"
  /trickle/NAME           the file in 64-byte pieces, 50 ms apart
  /drop/NAME              half the file, then a reset connection
  /huge/NAME              announces 4 GiB more than the file, sends the file
  /bytes/N                N bytes of the pattern (i * 7 + 3) % 251
  /slow/PATH...           any file below the tree (a whole mirror), Range
                          honoured, in 16 KiB pieces 20 ms apart
  /pace/N/MS/PATH...      any file below the tree, Range honoured, N bytes
                          at once and N more every MS milliseconds (a line
                          slower, or just faster, than a client's minimum)
  /pace-objects/N/MS/PATH...  the same for objects (a path with an "objects"
                          folder); every other file served at once (a mirror
                          whose manifest arrives but whose objects trickle)
  /hang/PATH...           any file below the tree announced, then silence
  /mute/PATH...           a request read and never answered
  /gz-MODE/PATH...        any file below the tree; ".gz" objects served the
                          way /MODE/NAME serves a file (a mirror whose packed
                          objects misbehave)
  /below/MODE/PATH...     any file below the tree served the way /MODE/NAME
                          serves a file (a web site that misbehaves)
  /code/CODE/PATH...      any file below the tree as the body of status CODE
  /padded/N/PATH...       any file below the tree with blanks after it up to
                          N bytes in all
  /stale/OLD/PATH...      any file below the tree, but a manifest.json or
                          keys.json asked for without "Cache-Control:
                          no-cache" and "Pragma: no-cache" is the one of the
                          release OLD beside PATH's (a cache that kept an old
                          document beside a fresh signature)
  /missing/PATH...        any file below the tree, but a manifest.json asked
                          for without those headers is missing (404): a
                          document out of the way for the moment a
                          replacing move takes
  /together/TAG/N/PATH...  any file below the tree, Range honoured; the
                          first N requests for objects under TAG are each
                          held until all N have arrived (503 for all if they
                          do not within 10 s), later ones served at once:
                          only a client with N objects on the wire passes
  /behind/TAG/N/PATH...   any file below the tree, Range honoured; the first
                          request for an object under TAG is held until N
                          later ones have been answered (503 if they are not
                          within 10 s): only a client that goes on with later
                          objects while an earlier one is on the wire passes
  /portal/KIND/PATH...    a network's sign-in page in place of every file:
                          KIND "html" a 200 said to be text/html, "sniff"
                          one said to be bytes that begin like markup,
                          "redirect" a 302 to another host ("localhost")
                          whose "/portal/plain/" answers 200 with plain
                          text
  /random/SEED/PCT/PATH...  any file below the tree; requests for objects
                          (a path with an "objects" folder) misbehave with
                          probability PCT percent: a reset mid-body, a short
                          body, a trickling start, a 500, or one wrong byte.
                          The choice follows SEED, the path and how often it
                          was asked for, so a run can be repeated.

Every response closes its connection. Listens on 127.0.0.1 at free ports:
plain HTTP, HTTPS with --cert/--key, and HTTPS with --untrusted-cert/--key
(a certificate no client trusts). The ports go to STATE/fault-http.port,
fault-https.port and untrusted-https.port, each written atomically once the
socket listens; the process id to STATE/faultserver.pid.
"""

import argparse
import http.server
import os
import random
import re
import socket
import ssl
import struct
import sys
import threading
import time

EXTRA = 100
SILENCE_SECONDS = 120
TOGETHER_SECONDS = 10
FOUR_GIB = 1 << 32


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "faultserver"
    tree = "."
    gates = {}  # TAG of /together, /behind: [requests arrived, condition, answered]
    gates_lock = threading.Lock()

    def log_message(self, fmt, *args):
        sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))

    def setup(self):
        super().setup()
        if isinstance(self.request, ssl.SSLSocket):
            self.request.do_handshake()

    def load(self, name):
        path = os.path.join(self.tree, name)
        if "/" in name or name.startswith(".") or not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def range_start(self):
        """The N of "Range: bytes=N-", None without a Range; -1 when malformed."""
        value = self.headers.get("Range")
        if value is None:
            return None
        m = re.fullmatch(r"bytes=(\d+)-", value)
        return int(m.group(1)) if m else -1

    def head(self, status, length, extra_headers=()):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if length is not None:
            self.send_header("Content-Length", str(length))
        for k, v in extra_headers:
            self.send_header(k, v)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def error(self, status):
        body = b"status %d body" % status
        self.head(status, len(body))
        self.wfile.write(body)

    def ranged(self, data, extra_headers=()):
        """The file or its asked-for tail, as a well-behaved server sends it."""
        start = self.range_start()
        if start is None:
            self.head(200, len(data), extra_headers)
            return data
        if start < 0:
            self.error(400)
            return None
        if start >= len(data):
            self.error(416)
            return None
        tail = data[start:]
        self.head(206, len(tail), tuple(extra_headers) +
                  (("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data))),))
        return tail

    def do_GET(self):
        parts = self.path.split("/")[1:]
        mode = parts[0] if parts else ""
        try:
            if mode == "status" and len(parts) == 2 and parts[1].isdigit():
                return self.error(int(parts[1]))
            if mode == "bytes" and len(parts) == 2 and parts[1].isdigit():
                n = int(parts[1])
                body = bytes((i * 7 + 3) % 251 for i in range(n))
                self.head(200, n)
                return self.wfile.write(body)
            if mode == "encoding" and len(parts) == 3:
                data = self.load(parts[2])
                if data is None:
                    return self.error(404)
                value = "" if parts[1] == "-" else parts[1]
                body = self.ranged(data, (("Content-Encoding", value),))
                if body is not None:
                    self.wfile.write(body)
                return
            if mode == "slow" and len(parts) >= 2:
                return self.serve_slow("/".join(parts[1:]))
            if mode in ("pace", "pace-objects") and len(parts) >= 4 and parts[1].isdigit() \
                    and parts[2].isdigit():
                rel = "/".join(parts[3:])
                if mode == "pace-objects" and "objects" not in parts[3:-1]:
                    data = self.load_below(rel)
                    return self.serve_file(data) if data is not None else self.error(404)
                return self.serve_pace(int(parts[1]), int(parts[2]) / 1000.0, rel)
            if mode in ("hang", "mute") and len(parts) >= 2:
                return self.serve_silence(mode, "/".join(parts[1:]))
            if mode.startswith("gz-") and len(parts) >= 2:
                data = self.load_below("/".join(parts[1:]))
                if data is None:
                    return self.error(404)
                fault = mode[3:] if parts[-1].endswith(".gz") else "file"
                return getattr(self, "serve_" + fault.replace("-", "_"), self.serve_unknown)(data)
            if mode in ("together", "behind") and len(parts) >= 4 and parts[2].isdigit():
                serve = self.serve_together if mode == "together" else self.serve_behind
                return serve(parts[1], int(parts[2]), "/".join(parts[3:]))
            if mode == "portal" and len(parts) >= 2:
                return self.serve_portal(parts[1])
            if mode == "random" and len(parts) >= 4:
                return self.serve_random(parts[1], parts[2], "/".join(parts[3:]))
            if mode in ("below", "code", "padded") and len(parts) >= 3:
                return self.serve_below(mode, parts[1], "/".join(parts[2:]))
            if mode == "missing" and len(parts) >= 2:
                return self.serve_missing(parts[1:])
            if mode == "stale" and len(parts) >= 4:
                return self.serve_stale(parts[1], parts[2:])
            if len(parts) != 2:
                return self.error(404)
            data = self.load(parts[1])
            if data is None:
                return self.error(404)
            getattr(self, "serve_" + mode.replace("-", "_"), self.serve_unknown)(data)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True

    def serve_portal(self, kind):
        self.close_connection = True
        if kind == "redirect":
            scheme = "https" if isinstance(self.connection, ssl.SSLSocket) else "http"
            self.send_response(302)
            self.send_header("Location", "%s://localhost:%d/portal/plain/login"
                             % (scheme, self.server.server_address[1]))
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            return self.end_headers()
        page = b"<!DOCTYPE html>\n<html><body>Sign in to the network</body></html>\n"
        types = {"html": ("text/html; charset=utf-8", page),
                 "sniff": ("application/octet-stream", b"\r\n" + page),
                 "plain": ("text/plain", b"Please sign in to the network first.\n")}
        if kind not in types:
            return self.error(404)
        ctype, body = types[kind]
        self.send_response(200)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def serve_unknown(self, data):
        self.error(404)

    def serve_file(self, data):
        body = self.ranged(data)
        if body is not None:
            self.wfile.write(body)

    def serve_ignore_range(self, data):
        self.head(200, len(data))
        self.wfile.write(data)

    def serve_always_206(self, data):
        self.head(206, len(data), (("Content-Range", "bytes 0-%d/%d" % (len(data) - 1, len(data))),))
        self.wfile.write(data)

    def serve_short(self, data):
        body = self.ranged(data)
        if body is not None:
            self.wfile.write(body[: len(body) // 2])

    def serve_long(self, data):
        start = self.range_start() or 0
        body = data[start:] + b"\xee" * EXTRA
        self.head(206 if start else 200, len(body))
        self.wfile.write(body)

    def serve_long_unannounced(self, data):
        self.head(200, None)
        self.wfile.write(data + b"\xee" * EXTRA)

    def serve_overrun(self, data):
        self.head(200, len(data))
        self.wfile.write(data + b"\xee" * EXTRA)

    def serve_trickle(self, data):
        body = self.ranged(data)
        if body is None:
            return
        for i in range(0, len(body), 64):
            self.wfile.write(body[i:i + 64])
            self.wfile.flush()
            time.sleep(0.05)

    def load_below(self, rel):
        """A file anywhere below the tree, None when there is none."""
        segments = rel.split("/")
        if any(seg in ("", ".", "..") for seg in segments):
            return None
        path = os.path.join(self.tree, *segments)
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def serve_below(self, mode, arg, rel):
        data = self.load_below(rel)
        if data is None:
            return self.error(404)
        if mode == "below":
            return getattr(self, "serve_" + arg.replace("-", "_"), self.serve_unknown)(data)
        if not arg.isdigit():
            return self.error(404)
        if mode == "code":
            self.head(int(arg), len(data))
        else:
            data += b" " * max(0, int(arg) - len(data))
            self.head(200, len(data))
        self.wfile.write(data)

    def serve_stale(self, old, segments):
        fresh = all("no-cache" in (self.headers.get(name) or "").lower()
                    for name in ("Cache-Control", "Pragma"))
        if segments[-1] in ("manifest.json", "keys.json") and not fresh:
            segments = segments[:-2] + [old, segments[-1]]
        data = self.load_below("/".join(segments))
        return self.serve_file(data) if data is not None else self.error(404)

    def serve_missing(self, segments):
        fresh = all("no-cache" in (self.headers.get(name) or "").lower()
                    for name in ("Cache-Control", "Pragma"))
        data = self.load_below("/".join(segments))
        if data is None or (segments[-1] == "manifest.json" and not fresh):
            return self.error(404)
        return self.serve_file(data)

    asked = {}
    asked_lock = threading.Lock()

    def serve_random(self, seed, percent, rel):
        data = self.load_below(rel)
        if data is None:
            return self.error(404)
        if "objects" not in rel.split("/")[:-1]:
            return self.serve_file(data)
        with self.asked_lock:
            n = self.asked[rel] = self.asked.get(rel, 0) + 1
        rng = random.Random("%s/%s/%d" % (seed, rel, n))
        if rng.random() * 100 >= float(percent):
            return self.serve_file(data)
        fault = rng.choice(("drop", "short", "trickle", "500", "flip"))
        sys.stderr.write("random: %s #%d: %s\n" % (rel, n, fault))
        if fault == "500":
            return self.error(500)
        if fault in ("drop", "short"):
            return getattr(self, "serve_" + fault)(data)
        body = self.ranged(data)
        if not body:
            return
        if fault == "flip":
            at = rng.randrange(len(body))
            body = body[:at] + bytes([body[at] ^ 0x20]) + body[at + 1:]
            return self.wfile.write(body)
        # A trickling start: the first 256 KiB in 4 KiB pieces, then the rest.
        start = min(len(body), 256 * 1024)
        for i in range(0, start, 4096):
            self.wfile.write(body[i:min(i + 4096, start)])
            self.wfile.flush()
            time.sleep(0.01)
        self.wfile.write(body[start:])

    def serve_slow(self, rel):
        # A mirror on a slow line, for tests that stop a client mid-transfer.
        data = self.load_below(rel)
        if data is None:
            return self.error(404)
        body = self.ranged(data)
        if body is None:
            return
        for i in range(0, len(body), 16384):
            self.wfile.write(body[i:i + 16384])
            self.wfile.flush()
            time.sleep(0.02)

    def serve_pace(self, piece, interval, rel):
        data = self.load_below(rel)
        if data is None or piece == 0:
            return self.error(404)
        body = self.ranged(data)
        if body is None:
            return
        for i in range(0, len(body), piece):
            if i:
                time.sleep(interval)
            self.wfile.write(body[i:i + piece])
            self.wfile.flush()

    def gate(self, tag):
        with self.gates_lock:
            return self.gates.setdefault(tag, [0, threading.Condition(), 0])

    def serve_together(self, tag, n, rel):
        data = self.load_below(rel)
        if data is None:
            return self.error(404)
        if "objects" in rel.split("/"):
            gate = self.gate(tag)
            with gate[1]:
                gate[0] += 1
                gate[1].notify_all()
                if gate[0] <= n and not gate[1].wait_for(lambda: gate[0] >= n, TOGETHER_SECONDS):
                    return self.error(503)
        body = self.ranged(data)
        if body is not None:
            self.wfile.write(body)

    def serve_behind(self, tag, n, rel):
        data = self.load_below(rel)
        if data is None:
            return self.error(404)
        gate = self.gate(tag) if "objects" in rel.split("/") else None
        if gate:
            with gate[1]:
                gate[0] += 1
                first = gate[0] == 1
                if first and not gate[1].wait_for(lambda: gate[2] >= n, TOGETHER_SECONDS):
                    return self.error(503)
        body = self.ranged(data)
        if body is not None:
            self.wfile.write(body)
            self.wfile.flush()
        if gate and not first:
            with gate[1]:
                gate[2] += 1
                gate[1].notify_all()

    def serve_silence(self, mode, rel):
        # Held well past any client's time-out; the client's close ends it.
        data = self.load_below(rel)
        if data is None:
            return self.error(404)
        if mode == "hang":
            self.head(200, len(data))
            self.wfile.flush()
        self.connection.settimeout(SILENCE_SECONDS)
        try:
            self.connection.recv(1)
        except (socket.timeout, OSError):
            pass
        self.close_connection = True

    def serve_drop(self, data):
        body = self.ranged(data)
        if body is None:
            return
        self.wfile.write(body[: len(body) // 2])
        self.wfile.flush()
        # A reset, not an orderly close: linger on, time-out zero.
        raw = self.connection
        if isinstance(raw, ssl.SSLSocket):
            raw = socket.socket(fileno=os.dup(raw.fileno()))
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        raw.close()
        self.connection.close()

    def serve_huge(self, data):
        self.head(200, FOUR_GIB + len(data))
        self.wfile.write(data)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, context):
        super().__init__(("127.0.0.1", 0), Handler)
        if context is not None:
            self.socket = context.wrap_socket(self.socket, server_side=True,
                                              do_handshake_on_connect=False)

    def handle_error(self, request, client_address):
        pass  # failed handshakes of the untrusted-certificate test


def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    return context


def write_atomically(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tree", required=True)
    ap.add_argument("--state", required=True)
    ap.add_argument("--cert")
    ap.add_argument("--key")
    ap.add_argument("--untrusted-cert")
    ap.add_argument("--untrusted-key")
    args = ap.parse_args()
    Handler.tree = os.path.abspath(args.tree)

    servers = [("fault-http.port", Server(None))]
    if args.cert:
        servers.append(("fault-https.port", Server(tls_context(args.cert, args.key))))
    if args.untrusted_cert:
        servers.append(("untrusted-https.port",
                        Server(tls_context(args.untrusted_cert, args.untrusted_key))))
    write_atomically(os.path.join(args.state, "faultserver.pid"), "%d\n" % os.getpid())
    for name, server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
        write_atomically(os.path.join(args.state, name), "%d\n" % server.server_address[1])
    threading.Event().wait()


if __name__ == "__main__":
    main()
