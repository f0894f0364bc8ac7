#!/usr/bin/env python3
"""A scriptable HTTP server for tests of the downloader and its callers.

Binds 127.0.0.1 on a free port and prints that port as the first line of
stdout. Every request (except control requests) is recorded byte for byte as
one file in the record directory, named by arrival order (000001.http, ...),
written completely before the response starts.

Routes are a JSON object {"routes": {target: route, ...}}; the target is the
request target exactly as sent (path with query, "./" kept). A route may hold:

  status        status code (default 200)
  status_line   the whole status line instead, e.g. "HTTP/1.0 299 Odd"
  location      value of a Location header ("{base}" becomes http://127.0.0.1:PORT)
  raw_headers   header text inserted verbatim before Location/Content-Length
                (e.g. "Content-Location: x\r\n"); "{base}" is replaced too
  body          body text (latin-1); or body_b64; or body_size (pattern bytes,
                byte i is i % 251); or body_file (a path)
  ranges        "honour" (default: 206 with Content-Range, 416 past the end),
                "ignore" (200 and the whole body), "416" (always 416)
  content_length  true (default), false (no header), or a number to announce
  extra_bytes   send this many pattern bytes after the announced body
  close_after   send only this many body bytes, then close the connection
  stall_after   send this many body bytes, then wait stall_ms (default 1 h)
  stall_before_headers_ms  wait this long before answering at all
  trickle       {"chunk": bytes, "delay_ms": ms}: send the body slowly
  chunked       true: answer "HTTP/1.1" with "Transfer-Encoding: chunked" and
                the body in chunks of 1000 bytes (close_after then cuts the
                chunked stream after that many body bytes)
  hold_open_ms  keep the connection open this long after the answer, as a
                server that keeps connections alive would
  proxy_auth    "user:password": answer 407 (Basic challenge) to a request
                without those proxy credentials (targets of a proxy request
                are absolute: "http://host/path")

A target without a route is served from --root (with ranges) when given,
else answered 404. Control requests (not recorded):
  POST /__control/config   body = JSON as above; replaces the routes
  POST /__control/clear    forgets the recorded requests
  GET  /__control/ping     answers 200
"""

import argparse
import base64
import json
import os
import re
import socket
import socketserver
import sys
import threading
import time

PATTERN = bytes(i % 251 for i in range(251))


def pattern_bytes(start, count):
    if count <= 0:
        return b""
    reps = (start % 251 + count) // 251 + 1
    data = PATTERN * reps
    first = start % 251
    return data[first:first + count]


class State:
    def __init__(self, routes, record_dir, root):
        self.lock = threading.Lock()
        self.routes = routes
        self.record_dir = record_dir
        self.root = root
        self.counter = 0
        self.port = 0

    def record(self, raw):
        if not self.record_dir:
            return
        with self.lock:
            self.counter += 1
            n = self.counter
        name = os.path.join(self.record_dir, "%06d.http" % n)
        with open(name + ".tmp", "wb") as f:
            f.write(raw)
        os.replace(name + ".tmp", name)

    def clear(self):
        if not self.record_dir:
            return
        with self.lock:
            for entry in os.listdir(self.record_dir):
                os.unlink(os.path.join(self.record_dir, entry))
            self.counter = 0


RANGE_RE = re.compile(rb"^\s*bytes\s*=\s*(\d+)\s*-\s*(\d*)\s*$", re.I)
REASONS = {200: "OK", 206: "Partial Content", 407: "Proxy Authentication Required", 301: "Moved Permanently", 302: "Found",
           303: "See Other", 404: "Not Found", 416: "Range Not Satisfiable",
           500: "Internal Server Error"}


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        try:
            self.serve_one()
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            pass
        finally:
            try:
                self.request.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def read_head(self):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.request.recv(65536)
            if not chunk:
                break
            data += chunk
            if len(data) > 1 << 20:
                break
        return data

    def serve_one(self):
        state = self.server.state
        raw = self.read_head()
        head, _, rest = raw.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        parts = lines[0].split(b" ")
        if len(parts) < 2:
            return
        target = parts[1].decode("latin-1")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(b":")
            headers[name.strip().lower().decode("latin-1")] = value.strip()
        if target.startswith("/__control/"):
            self.control(target, headers, rest)
            return
        state.record(raw)
        with state.lock:
            route = state.routes.get(target)
        if route is None:
            route = self.static_route(target)
        self.respond(route, headers)

    def control(self, target, headers, rest):
        state = self.server.state
        length = int(headers.get("content-length", b"0") or 0)
        while len(rest) < length:
            chunk = self.request.recv(65536)
            if not chunk:
                break
            rest += chunk
        if target == "/__control/config":
            config = json.loads(rest[:length].decode("utf-8"))
            with state.lock:
                state.routes = config.get("routes", {})
        elif target == "/__control/clear":
            state.clear()
        self.request.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")

    def static_route(self, target):
        root = self.server.state.root
        path = target.split("?", 1)[0]
        parts = [p for p in path.split("/") if p not in ("", ".")]
        if not root or ".." in parts:
            return {"status": 404, "body": "not found"}
        full = os.path.join(root, *parts)
        if not os.path.isfile(full):
            return {"status": 404, "body": "not found"}
        return {"body_file": full}

    def body_of(self, route):
        if "body" in route:
            return route["body"].encode("latin-1")
        if "body_b64" in route:
            return base64.b64decode(route["body_b64"])
        if "body_size" in route:
            return pattern_bytes(0, int(route["body_size"]))
        if "body_file" in route:
            with open(route["body_file"], "rb") as f:
                return f.read()
        return b""

    def respond(self, route, headers):
        port = self.server.state.port
        base = "http://127.0.0.1:%d" % port
        if route.get("stall_before_headers_ms"):
            time.sleep(route["stall_before_headers_ms"] / 1000.0)
        if "proxy_auth" in route:
            expected = b"Basic " + base64.b64encode(route["proxy_auth"].encode("latin-1"))
            if headers.get("proxy-authorization") != expected:
                route = {"status": 407, "body": "proxy credentials needed",
                         "raw_headers": "Proxy-Authenticate: Basic realm=\"test\"\r\n"}
        body = self.body_of(route)
        status = int(route.get("status", 200))
        extra = []
        mode = route.get("ranges", "honour")
        rng = headers.get("range")
        if rng is not None and status == 200 and mode != "ignore":
            m = RANGE_RE.match(rng)
            start = int(m.group(1)) if m else None
            if mode == "416" or (start is not None and start >= len(body)):
                status = 416
                extra.append("Content-Range: bytes */%d" % len(body))
                body = b""
            elif start is not None:
                end = int(m.group(2)) if m.group(2) else len(body) - 1
                end = min(end, len(body) - 1)
                extra.append("Content-Range: bytes %d-%d/%d" % (start, end, len(body)))
                body = body[start:end + 1]
                status = 206
        chunked = bool(route.get("chunked"))
        version = "HTTP/1.1" if chunked else "HTTP/1.0"
        line = route.get("status_line") or "%s %d %s" % (version, status,
                                                         REASONS.get(status, "Status"))
        out = line + "\r\n"
        out += "Server: fault-server\r\n"
        out += route.get("raw_headers", "").replace("{base}", base)
        if "location" in route:
            out += "Location: %s\r\n" % route["location"].replace("{base}", base)
        for h in extra:
            out += h + "\r\n"
        cl = route.get("content_length", not chunked)
        if chunked:
            out += "Transfer-Encoding: chunked\r\n"
        if cl is True:
            out += "Content-Length: %d\r\n" % len(body)
        elif cl is not False:
            out += "Content-Length: %s\r\n" % cl
        out += "Connection: close\r\n\r\n"
        self.request.sendall(out.encode("latin-1"))
        if route.get("extra_bytes"):
            body += pattern_bytes(len(body), int(route["extra_bytes"]))
        if chunked:
            self.send_chunked(body, route.get("close_after"))
        else:
            self.send_body(route, body)
        if route.get("hold_open_ms"):
            time.sleep(route["hold_open_ms"] / 1000.0)

    def send_chunked(self, body, cut):
        left = len(body) if cut is None else int(cut)
        stream = b""
        for i in range(0, len(body), 1000):
            piece = body[i:i + 1000]
            stream += b"%x\r\n" % len(piece)
            if left < len(piece):
                stream += piece[:left]
                break
            stream += piece + b"\r\n"
            left -= len(piece)
        else:
            stream += b"0\r\n\r\n"
        self.request.sendall(stream)

    def send_body(self, route, body):
        if "close_after" in route:
            # An orderly close before the announced length: the peer sees a
            # short body, and nothing it already received is discarded.
            self.request.sendall(body[:int(route["close_after"])])
            return
        if "stall_after" in route:
            self.request.sendall(body[:int(route["stall_after"])])
            time.sleep(route.get("stall_ms", 3600 * 1000) / 1000.0)
            return
        trickle = route.get("trickle")
        if trickle:
            chunk = max(1, int(trickle.get("chunk", 1)))
            delay = trickle.get("delay_ms", 10) / 1000.0
            for i in range(0, len(body), chunk):
                self.request.sendall(body[i:i + chunk])
                time.sleep(delay)
            return
        self.request.sendall(body)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--config", help="JSON file with the routes")
    parser.add_argument("--record-dir", help="directory that receives every raw request")
    parser.add_argument("--root", help="directory served for targets without a route")
    args = parser.parse_args()
    routes = {}
    if args.config:
        with open(args.config, "r", encoding="utf-8") as f:
            routes = json.load(f).get("routes", {})
    if args.record_dir:
        os.makedirs(args.record_dir, exist_ok=True)
    state = State(routes, args.record_dir, args.root)
    server = Server(("127.0.0.1", 0), Handler)
    server.state = state
    state.port = server.server_address[1]
    sys.stdout.write("%d\n" % state.port)
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
