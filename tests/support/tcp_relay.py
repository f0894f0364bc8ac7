#!/ usr / bin / env python3
"""A TCP relay for tests and benchmarks: counts what passes, and can make a
loopback link look like a slow or distant one.

Binds 127.0.0.1 on a free port, prints that port as the first line of
stdout, and relays every connection to 127.0.0.1:--target-port. Options:

  --stats FILE    JSON {"connections": n, "open": n, "down": bytes,
                  "up": bytes} (down = towards the client), rewritten
                  atomically whenever a connection opens or closes, and
                  every 50 ms while the counts change
  --delay-ms D    one round trip of D ms for every new connection (before
                  the relay connects onwards) and one for every request: the
                  client's data is held D ms whenever the client speaks
                  after the server has (or speaks first)
  --rate B        at most B bytes a second towards the client, per
                  connection (0: unlimited)

Runs until killed; connections are relayed by two threads each.
"""

import argparse
import json
import os
import socket
import sys
import threading
import time


class Counters:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.path = path
        self.values = {"connections": 0, "open": 0, "down": 0, "up": 0}
        self.dirty = False

    def add(self, key, amount, write=False):
        with self.lock:
            self.values[key] += amount
            self.dirty = True
            if write:
                self.write_locked()

    def write_locked(self):
        self.dirty = False
        if self.path:
            tmp = self.path + ".tmp"
            with open(tmp, "w") as f:
                json.dump(self.values, f)
            os.replace(tmp, self.path)

    def flush_often(self):
        while True:
            time.sleep(0.05)
            with self.lock:
                if self.dirty:
                    self.write_locked()


class Link:
    """One relayed connection."""

    def __init__(self, client, args, counters):
        self.client, self.args, self.counters = client, args, counters
        self.server_spoke = True  # the client's first data is a request
        self.done = 0
        self.lock = threading.Lock()

    def run(self):
        delay = self.args.delay_ms / 1000.0
        if delay:
            time.sleep(delay)
        try:
            self.server = socket.create_connection(("127.0.0.1", self.args.target_port))
            self.server.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            self.client.close()
            self.counters.add("open", -1, write=True)
            return
        threading.Thread(target=self.pump_up, daemon=True).start()
        threading.Thread(target=self.pump_down, daemon=True).start()

    def pump_up(self):
        delay = self.args.delay_ms / 1000.0
        try:
            while True:
                data = self.client.recv(65536)
                if not data:
                    break
                if delay and self.server_spoke:
                    time.sleep(delay)
                self.server_spoke = False
                self.server.sendall(data)
                self.counters.add("up", len(data))
        except OSError:
            pass
        self.finish(self.server)

    def pump_down(self):
        rate = self.args.rate
        chunk = 65536 if not rate else max(1024, min(65536, rate // 50))
        try:
            while True:
                data = self.server.recv(chunk)
                if not data:
                    break
                self.server_spoke = True
                self.client.sendall(data)
                self.counters.add("down", len(data))
                if rate:
                    time.sleep(len(data) / rate)
        except OSError:
            pass
        self.finish(self.client)

    def finish(self, peer):
        try:
            peer.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        with self.lock:
            self.done += 1
            last = self.done == 2
        if last:
            self.client.close()
            self.server.close()
            self.counters.add("open", -1, write=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target-port", type=int, required=True)
    parser.add_argument("--stats")
    parser.add_argument("--delay-ms", type=float, default=0)
    parser.add_argument("--rate", type=int, default=0)
    args = parser.parse_args()
    counters = Counters(args.stats)
    counters.add("open", 0, write=True)
    threading.Thread(target=counters.flush_often, daemon=True).start()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    sys.stdout.write("%d\n" % listener.getsockname()[1])
    sys.stdout.flush()
    while True:
        client, _ = listener.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        counters.add("connections", 1)
        counters.add("open", 1, write=True)
        threading.Thread(target=Link(client, args, counters).run, daemon=True).start()


if __name__ == "__main__":
    main()
