#!/usr/bin/env python3
"""A time-stamping authority on loopback for the signing test: answers
RFC 3161 queries posted over HTTP with `openssl ts -reply -config <arg>`.
Prints its port, then serves until it is killed."""
import http.server
import subprocess
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        done = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1],
                               "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
                              input=query, capture_output=True)
        if done.returncode != 0:
            sys.stderr.write(done.stderr.decode(errors="replace"))
            self.send_error(500)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(done.stdout)))
        self.end_headers()
        self.wfile.write(done.stdout)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
