#!/usr/bin/env python3
"""Runs every benchmark of bench/ in one go and prints one table of ratios.

Each benchmark is a program that measures the launcher side by side with a
standard tool (curl, md5sum, zstd, tar) in the same run; this script builds
them in release mode, runs each several times, and reduces what they print
to one row: the median with the minimum and maximum over the runs, the peak
memory of the launcher side, and the goal the row is held to.

    bench/run-bench.py [--quick] [--scale MiB] [--runs N] [--small N]
                       [--only name,name] [--no-build] [--keep-logs]

Environment: BENCH_SCALE (MiB of data, default 1024; --quick is 64),
BENCH_RUNS, BENCH_SMALL (small-file entries, default 10000; 2000 quick),
BENCH_TIMEOUT_FACTOR (multiplies every time limit), BENCH_JOBS (build jobs).

Everything the benchmarks generate goes into a temporary directory under the
build directory, removed at the end. Every process is started in its own
process group and stopped (with its nginx, curl, zstd and Xvfb) when it runs
past its time limit or when this script is interrupted.
"""

import argparse
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
TARGETS = ["download_bench", "connection_bench", "full_check_bench", "incremental_bench", "publish_bench",
           "digest_bench", "window_probe", "launcher-publish", "update_kill_harness",
           "statement_bench", "delta_bench"]
BENCHMARKS = ["download", "connections", "full_check", "full_check_statement", "statement",
              "incremental", "resume", "small_files", "publish", "digest", "deltas", "window"]

ACTIVE = set()      # process groups still running
LOAD_SAMPLES = []   # 1-minute load average, sampled around every run


def log(message):
    print(message, file=sys.stderr, flush=True)


def loadavg():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def stop_group(proc):
    """SIGTERM to the whole group, SIGKILL after 5 s if anything is left."""
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            os.killpg(proc.pid, 0)
        except ProcessLookupError:
            return
        proc.poll()
        time.sleep(0.1)
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


class Run:
    def __init__(self, output, status, seconds, timed_out):
        self.output, self.status, self.seconds, self.timed_out = output, status, seconds, timed_out


def run(cmd, timeout, log_path, env=None, cwd=None, echo=True):
    """Runs `cmd` in its own process group, copying its output to `log_path`
    (and to stderr, so a long run shows where it is). Stops it at `timeout`."""
    LOAD_SAMPLES.append(loadavg())
    start = time.monotonic()
    proc = subprocess.Popen([str(c) for c in cmd], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env, cwd=cwd, text=True,
                            errors="replace", start_new_session=True)
    ACTIVE.add(proc)
    expired = threading.Event()

    def on_timeout():
        expired.set()
        stop_group(proc)

    timer = threading.Timer(timeout, on_timeout)
    timer.start()
    lines = []
    with open(log_path, "a") as out:
        out.write("$ " + " ".join(str(c) for c in cmd) + "\n")
        for line in proc.stdout:
            lines.append(line)
            out.write(line)
            if echo:
                sys.stderr.write("    " + line)
    status = proc.wait()
    timer.cancel()
    # The group may still hold a straggler (an nginx whose parent died).
    stop_group(proc)
    ACTIVE.discard(proc)
    LOAD_SAMPLES.append(loadavg())
    if expired.is_set():
        log(f"    ** stopped after {timeout:.0f} s")
    return Run("".join(lines), status, time.monotonic() - start, expired.is_set())


def stats(values):
    if not values:
        return None
    return (statistics.median(values), min(values), max(values))


def sorted_ratio(numerators, denominators):
    """Ratios of the k-th smallest of one side to the k-th smallest of the
    other, for two sets of runs that were not paired when measured."""
    a, b = sorted(numerators), sorted(denominators)
    n = min(len(a), len(b))
    return [a[i] / b[i] for i in range(n) if b[i] > 0]


def peak_kib(path):
    try:
        return int(Path(path).read_text().split()[-1])
    except (OSError, ValueError, IndexError):
        return None


class Row:
    """One line of the table."""

    def __init__(self, name, ours="", theirs="", ratio=None, goal="", met=None, peak_mib=None,
                 note=""):
        self.name, self.ours, self.theirs, self.ratio = name, ours, theirs, ratio
        self.goal, self.met, self.peak_mib, self.note = goal, met, peak_mib, note


def fmt(s, digits=2):
    if s is None:
        return "n/a"
    med, lo, hi = s
    return f"{med:.{digits}f} ({lo:.{digits}f}-{hi:.{digits}f})"


class Bench:
    def __init__(self, args, build, tmp, logs):
        self.args, self.build, self.tmp, self.logs = args, build, tmp, logs
        self.scale = args.scale
        self.runs = args.runs
        self.gib = args.scale / 1024.0
        self.env = dict(os.environ, TMPDIR=str(tmp), BENCH_DIR=str(tmp))
        for name in ("http_proxy", "HTTP_PROXY", "https_proxy", "all_proxy", "ALL_PROXY"):
            self.env.pop(name, None)
        self.rows = []

    def limit(self, seconds):
        return seconds * self.args.timeout_factor

    def exe(self, name):
        for sub in ("bench", "tests/ui", "tools/publish", "tests/integration/update"):
            path = self.build / sub / name
            if path.exists():
                return path
        hits = list(self.build.rglob(name))
        if not hits:
            raise SystemExit(f"{name} not built in {self.build}")
        return hits[0]

    def failed(self, name, r):
        why = "timed out" if r.timed_out else f"exit {r.status}"
        self.rows.append(Row(name, note=f"FAILED ({why}), see log"))

    # Downloader against curl from a local nginx, both into files.
    def download(self):
        timefile = self.tmp / "download.rss"
        r = run(["/usr/bin/time", "-f", "%M", "-o", timefile, self.exe("download_bench"),
                 self.scale, 4, self.runs], self.limit(120 + 60 * self.gib * self.runs),
                self.logs / "download.log", env=self.env)
        pairs = re.findall(r"run \d+: ours (\d+) MiB/s.*curl (\d+) MiB/s", r.output)
        if r.status != 0 or not pairs:
            return self.failed("download", r)
        ours = [float(a) for a, _ in pairs]
        curl = [float(b) for _, b in pairs]
        ratio = stats([a / b for a, b in zip(ours, curl)])
        kib = peak_kib(timefile)
        self.rows.append(Row(f"download {self.scale} MiB in 4 files (MiB/s)", fmt(stats(ours), 0),
                             fmt(stats(curl), 0), ratio, ">= 0.95", ratio[0] >= 0.95,
                             kib / 1024 if kib else None, "ours/curl; peak is the whole bench "
                             "process (downloader, nginx and curl children)"))

    # A first installation of many files of 8 KiB through a relay charging a
    # 40 ms round trip per connection and per request, against curl fetching
    # the same URLs one at a time on one connection: over https (HTTP/2 for
    # the launcher) and plain http (a few HTTP/1.1 connections); the growth
    # per file from 200 to 2,000 files over https; and the time a dead first
    # server (no answer until the connect time-out) costs a run.
    def connections(self):
        def bench(args, name, limit):
            r = run([self.exe("connection_bench"), "--kib", 8, "--rtt-ms", 40, "--runs", self.runs]
                    + args, self.limit(limit), self.logs / f"{name}.log", env=self.env)
            ours = [(float(t), int(c)) for t, c in re.findall(
                r"run \d+: launcher(?: first installation|, first server down) ([\d.]+) s, (\d+) connections",
                r.output)]
            theirs = [(float(t), int(c)) for t, c in re.findall(
                r"run \d+: (?:curl, one process|launcher, one server) ([\d.]+) s, (\d+) connections",
                r.output)]
            return r, ours, theirs

        for tls, goal in ((True, 0.10), (False, 0.25)):
            name = "connections_" + ("https" if tls else "http")
            r, ours, curl = bench(["--files", 200] + (["--tls"] if tls else []), name,
                                  120 + 40 * self.runs)
            if r.status != 0 or not ours or not curl:
                self.failed(name, r)
                continue
            ratio = stats(sorted_ratio([o[0] for o in ours], [c[0] for c in curl]))
            self.rows.append(Row(
                f"200 x 8 KiB at 40 ms, {'https, HTTP/2' if tls else 'plain http'} (s)",
                fmt(stats([o[0] for o in ours])), fmt(stats([c[0] for c in curl])), ratio,
                f"<= {goal:.2f}", ratio[0] <= goal, None,
                f"against curl one at a time on one connection; connections: launcher "
                f"{max(o[1] for o in ours)}, curl {max(c[1] for c in curl)}"))

        per_file = {}
        for files in (200, 2000):
            name = f"connections_growth_{files}"
            r, ours, _ = bench(["--files", files, "--tls", "--launcher-only"], name,
                               60 + (files // 10) * self.runs)
            if r.status != 0 or not ours:
                self.failed(name, r)
                continue
            per_file[files] = [o[0] * 1000 / files for o in ours]
            self.rows.append(Row(f"  {files} x 8 KiB at 40 ms, https (ms per file)",
                                 fmt(stats(per_file[files]), 2), "", None, "", None, None,
                                 f"connections: {max(o[1] for o in ours)}"))
        if len(per_file) == 2:
            growth = stats(sorted_ratio(per_file[2000], per_file[200]))
            self.rows.append(Row("  growth per file 200 -> 2,000", "", "", growth, "<= 1.25",
                                 growth[0] <= 1.25))

        timeout_ms = 2000
        r, ours, alone = bench(["--files", 200, "--down", "--connect-timeout-ms", timeout_ms],
                               "connections_down", 120 + 60 * self.runs)
        if r.status != 0 or not ours or not alone:
            return self.failed("connections_down", r)
        lost = [a - b for a, b in zip(sorted(o[0] for o in ours), sorted(a[0] for a in alone))]
        # One time-out as a standard tool takes it: curl against the same dead server.
        curl_timeout = [float(t) for t in re.findall(r"run \d+: curl connect time-out ([\d.]+) s",
                                                     r.output)]
        ratio = stats(sorted_ratio(lost, curl_timeout))
        self.rows.append(Row(
            "first of two servers down (no answer), plain http (s lost per run)",
            fmt(stats(lost)), fmt(stats(curl_timeout)), ratio,
            f"<= 1.00 (one connect time-out of {timeout_ms / 1000:.1f} s)",
            ratio is not None and ratio[0] <= 1.0, None,
            f"against curl --connect-timeout to the same server; run "
            f"{fmt(stats([o[0] for o in ours]))} s against {fmt(stats([a[0] for a in alone]))} s "
            f"with the working server alone; connections {max(o[1] for o in ours)}"))

    # Full check of an unchanged tree against md5sum over the same files.
    def full_check(self):
        files = 16
        mib = max(1, self.scale // files)
        r = run([self.exe("full_check_bench"), "--files", files, "--mib", mib, "--runs",
                 self.runs], self.limit(180 + 150 * self.gib * self.runs),
                self.logs / "full_check.log", env=self.env)
        check = {int(n): (float(s), int(k)) for n, s, k in
                 re.findall(r"run (\d+) full check\s+([\d.]+) s\s+peak RSS (\d+) KiB", r.output)}
        md5 = {int(n): float(s) for n, s in
               re.findall(r"run (\d+) md5sum\s+([\d.]+) s", r.output)}
        runs = sorted(set(check) & set(md5))
        if r.status != 0 or not runs:
            return self.failed("full check", r)
        ratio = stats([check[n][0] / md5[n] for n in runs])
        self.rows.append(Row(f"full check, unchanged {files * mib} MiB tree (s)",
                             fmt(stats([check[n][0] for n in runs])),
                             fmt(stats([md5[n] for n in runs])), ratio, "<= 1.0",
                             ratio[0] <= 1.0, max(check[n][1] for n in runs) / 1024,
                             "full check/md5sum, warm page cache"))

    # The same full check with a release statement: installed files checked
    # by the SHA-256 of their installed form, against md5sum and against
    # openssl dgst -sha256 over the same files.
    def full_check_statement(self):
        files = 16
        mib = max(1, self.scale // files)
        r = run([self.exe("full_check_bench"), "--files", files, "--mib", mib, "--runs",
                 self.runs, "--statement"], self.limit(180 + 200 * self.gib * self.runs),
                self.logs / "full_check_statement.log", env=self.env)
        check = {int(n): (float(s), int(k)) for n, s, k in
                 re.findall(r"run (\d+) full check\s+([\d.]+) s\s+peak RSS (\d+) KiB", r.output)}
        md5 = {int(n): float(s) for n, s in re.findall(r"run (\d+) md5sum\s+([\d.]+) s", r.output)}
        sha = {int(n): float(s) for n, s in
               re.findall(r"run (\d+) openssl sha256\s+([\d.]+) s", r.output)}
        runs = sorted(set(check) & set(md5) & set(sha))
        if r.status != 0 or not runs:
            return self.failed("full check with a statement", r)
        peak = max(check[n][1] for n in runs) / 1024
        ours = fmt(stats([check[n][0] for n in runs]))
        ratio = stats([check[n][0] / md5[n] for n in runs])
        self.rows.append(Row(f"full check with a statement, unchanged {files * mib} MiB tree (s)",
                             ours, fmt(stats([md5[n] for n in runs])), ratio, "<= 0.5",
                             ratio[0] <= 0.5, peak, "full check/md5sum, warm page cache"))
        ratio = stats([check[n][0] / sha[n] for n in runs])
        self.rows.append(Row("the same against openssl dgst -sha256 (s)", ours,
                             fmt(stats([sha[n] for n in runs])), ratio, "<= 1.0", ratio[0] <= 1.0,
                             peak, "full check/openssl sha256"))

    # The statement and manifest of 10,000 files: sizes and verify times.
    def statement(self):
        r = run([self.exe("statement_bench"), "--files", 10000], self.limit(120),
                self.logs / "statement.log", env=self.env)
        sizes = re.search(r"statement (\d+) bytes .*manifest (\d+) bytes", r.output)
        times = re.search(r"verify statement ([\d.]+) us, manifest hash\+read ([\d.]+) ms, "
                          r"look up every file ([\d.]+) ms", r.output)
        if r.status != 0 or not sizes or not times:
            return self.failed("release statement", r)
        self.rows.append(Row("release statement for 10,000 files: bytes; verify (us)",
                             f"{sizes.group(1)}; {times.group(1)}",
                             note="parse + Ed25519 signature"))
        self.rows.append(Row("release manifest for 10,000 files: bytes; hash + read (ms)",
                             f"{sizes.group(2)}; {times.group(2)}",
                             note=f"every file looked up once: {times.group(3)} ms"))

    # Incremental update of large files against curl + zstd -d, one fresh
    # installation per run.
    def incremental(self):
        ours, theirs, ratios, peaks = [], [], [], []
        pattern = (r"^\s+({})\s+([\d.]+) s(?: wall\s+[\d.]+ s cpu)?\s+peak\s+([\d.]+) MiB\s+"
                   r"exit (-?\d+)")
        for n in range(self.runs):
            log(f"  run {n + 1}/{self.runs}")
            r = run([self.exe("incremental_bench"), self.scale, 50, 10, 1],
                    self.limit(240 + 400 * self.gib), self.logs / "incremental.log", env=self.env)
            a = re.search(pattern.format("launcher incremental update"), r.output, re.M)
            b = re.search(pattern.format(r"curl \+ zstd -d"), r.output, re.M)
            if r.status != 0 or not a or not b or a.group(4) != "0" or b.group(4) != "0":
                return self.failed("incremental update", r)
            ours.append(float(a.group(2)))
            theirs.append(float(b.group(2)))
            ratios.append(ours[-1] / theirs[-1])
            peaks.append(float(a.group(3)))
        ratio = stats(ratios)
        self.rows.append(Row(f"incremental update, {self.scale} MiB in 50 files (s)",
                             fmt(stats(ours)), fmt(stats(theirs)), ratio, "<= 1.10",
                             ratio[0] <= 1.1, max(peaks), "update/(curl + zstd -d per file)"))

    # The same update killed half-way, then run again, against curl fetching
    # the files the second run still has to fetch.
    def resume(self):
        ours, theirs, decompressed, ratios, ratios2, peaks = [], [], [], [], [], []
        pattern = (r"^\s+({})\s+([\d.]+) s(?: wall\s+[\d.]+ s cpu)?\s+peak\s+([\d.]+) MiB\s+"
                   r"exit (-?\d+)")
        for n in range(self.runs):
            log(f"  run {n + 1}/{self.runs}")
            r = run([self.exe("incremental_bench"), self.scale, 50, 10, 1, "resume"],
                    self.limit(240 + 600 * self.gib), self.logs / "resume.log", env=self.env)
            a = re.search(pattern.format("launcher second run"), r.output, re.M)
            b = re.search(pattern.format("curl, the files left"), r.output, re.M)
            c = re.search(pattern.format(r"curl \+ zstd -d, the files left"), r.output, re.M)
            if (r.status != 0 or not a or not b or not c or a.group(4) != "0" or b.group(4) != "0"
                    or c.group(4) != "0"):
                return self.failed("second run after an interrupted update", r)
            ours.append(float(a.group(2)))
            theirs.append(float(b.group(2)))
            decompressed.append(float(c.group(2)))
            ratios.append(ours[-1] / theirs[-1])
            ratios2.append(ours[-1] / decompressed[-1])
            peaks.append(float(a.group(3)))
        ratio = stats(ratios)
        self.rows.append(Row(f"second run after an interrupted update, {self.scale} MiB (s)",
                             fmt(stats(ours)), fmt(stats(theirs)), ratio, "<= 1.10",
                             ratio[0] <= 1.1, max(peaks), "second run/curl of the files left"))
        self.rows.append(Row("the same, against curl + zstd -d of the files left (s)",
                             fmt(stats(ours)), fmt(stats(decompressed)), stats(ratios2), "",
                             None, max(peaks), "second run/(curl + zstd -d of the files left)"))

    # Many small files: time per entry at N/10 and N entries.
    def small_files(self):
        r = run([self.exe("incremental_bench"), 0, 50, self.args.small, self.runs],
                self.limit(180 + 0.02 * self.args.small * self.runs * 1.2),
                self.logs / "small_files.log", env=self.env)
        if r.status != 0:
            return self.failed("small files", r)
        sections = re.split(r"^small files: (\d+) entries.*$", r.output, flags=re.M)
        per = {}
        for count, body in zip(sections[1::2], sections[2::2]):
            found = re.findall(r"launcher incremental update\s+([\d.]+) s(?: wall\s+([\d.]+) s "
                               r"cpu)?\s+peak\s+([\d.]+) MiB\s+exit (-?\d+)", body)
            if not found or any(f[3] != "0" for f in found):
                return self.failed("small files", r)
            c = int(count)
            per[c] = ([float(f[0]) * 1000 / c for f in found],
                      [float(f[1]) * 1000 / c for f in found if f[1]],
                      max(float(f[2]) for f in found))
        if len(per) != 2:
            return self.failed("small files", r)
        few, many = sorted(per)
        for c in (few, many):
            wall, cpu, peak = per[c]
            cpu_stats = stats(cpu) if cpu else None
            self.rows.append(Row(f"small files, {c} entries (ms per entry)", fmt(stats(wall), 3),
                                 "", None, "cpu <= 0.8" if cpu else "",
                                 cpu_stats[0] <= 0.8 if cpu else None, peak,
                                 f"cpu {fmt(cpu_stats, 3)} ms per entry" if cpu else ""))
        growth = stats(sorted_ratio(per[many][0], per[few][0]))
        cpu_growth = stats(sorted_ratio(per[many][1], per[few][1]))
        # Wall time follows the shared disk (every staged file is synced);
        # the engine's own work shows in its CPU time.
        self.rows.append(Row(f"  growth of wall time per entry, {few} -> {many}", "", "", growth,
                             "<= 1.25", growth[0] <= 1.25, None, "1.00 is linear"))
        if cpu_growth:
            self.rows.append(Row(f"  growth of CPU time per entry, {few} -> {many}", "", "",
                                 cpu_growth, "<= 1.25", cpu_growth[0] <= 1.25, None,
                                 "1.00 is linear"))

    # Publisher build of a 5-version history against zstd + md5sum of the
    # newest version (the benchmark's own baseline) and tar | zstd of the whole
    # history (hard links stored once, as the publisher compresses each
    # distinct file once).
    def publish(self):
        ours, rebuild, theirs, tar, peaks = [], [], [], [], []
        for n in range(self.runs):
            log(f"  run {n + 1}/{self.runs}")
            env = dict(self.env, BENCH_KEEP="1")
            r = run([self.exe("publish_bench"), self.scale, 5], self.limit(300 + 600 * self.gib),
                    self.logs / "publish.log", env=env, echo=False)
            kept = re.search(r"^kept (.+)$", r.output, re.M)
            try:
                a = re.search(r"launcher-publish build: ([\d.]+) s, peak (\d+) MiB, status 0",
                              r.output)
                b = re.search(r"rebuild over that tree:\s+([\d.]+) s", r.output)
                c = re.search(r"zstd -3 -T1 \+ md5sum:\s+([\d.]+) s", r.output)
                if r.status != 0 or not (a and b and c and kept):
                    return self.failed("publisher build", r)
                scratch = Path(kept.group(1))
                t = run(["sh", "-c", "tar -cf - -C \"$0\" releases | zstd -q -3 -T1 -o "
                         "\"$0/history.tar.zst\"", scratch], self.limit(120 + 300 * self.gib),
                        self.logs / "publish.log", env=self.env)
                if t.status != 0:
                    return self.failed("tar | zstd", t)
            finally:
                if kept:
                    shutil.rmtree(kept.group(1), ignore_errors=True)
            ours.append(float(a.group(1)))
            peaks.append(float(a.group(2)))
            rebuild.append(float(b.group(1)))
            theirs.append(float(c.group(1)))
            tar.append(t.seconds)
            log(f"    publish {ours[-1]:.2f} s, tar | zstd {tar[-1]:.2f} s, "
                f"zstd + md5sum {theirs[-1]:.2f} s")
        ratio = stats([a / b for a, b in zip(ours, tar)])
        self.rows.append(Row(f"publisher build, 5 versions of {self.scale} MiB (s)",
                             fmt(stats(ours)), fmt(stats(tar)), ratio, "", None, max(peaks),
                             "build/(tar of the history | zstd -3 -T1)"))
        self.rows.append(Row("  same, against zstd -3 -T1 + md5sum of the newest", "",
                             fmt(stats(theirs)), stats([a / b for a, b in zip(ours, theirs)]),
                             "", None, None, "the benchmark's own baseline"))
        self.rows.append(Row("  rebuild into the same served tree (s)", fmt(stats(rebuild)), "",
                             None, "", None, None, "served compressed files reused"))

    # Patches against today's whole files on three release histories (see
    # delta_bench.cc): each case once (its loopback pair `runs` times), as
    # the full-size archive case alone moves gigabytes.
    def deltas(self):
        cases = {"a": ("(a) one archive, 1% changed in 100 places + 1% inserted", self.scale),
                 "b": ("(b) 50 programs, 10 recompiled", self.scale),
                 "c": ("(c) 2,000 small files, 5% edited", self.scale)}
        line = (r"^\s+{}\s+([\d.]+) s\s+cpu [\d.]+ s\s+wire (\d+)\s+peak anon ([\d.]+) MiB\s+file ([\d.]+) MiB"
                r"\s+exit (-?\d+)\s+wrong (\d+)")
        for key, (title, mib) in cases.items():
            # The throttled pair of the small case is quick: repeated too.
            r = run([self.exe("delta_bench"), key, mib, self.runs, self.runs if key == "c" else 1],
                    self.limit(300 + 900 * mib / 1024.0), self.logs / "deltas.log", env=self.env)

            def runs_of(what):
                found = re.findall(line.format(re.escape(what)), r.output, re.M)
                return [(float(s), int(w), float(a), float(f), st, wr) for s, w, a, f, st, wr in found]

            today = runs_of("loopback, today")
            patched = runs_of("loopback, patches")
            slow_today = runs_of("100 Mbit/s, today")
            slow_patched = runs_of("100 Mbit/s, patches")
            tool = re.search(r"zstd -3 --patch-from\s+([\d.]+) s\s+bytes (\d+)", r.output)
            builds = dict(re.findall(r"publisher build, (with|without) patches\s+([\d.]+) s  exit 0",
                                     r.output))
            build_memory = re.search(r"publisher build, with patches .*peak anon ([\d.]+) MiB  file "
                                     r"([\d.]+) MiB", r.output)
            disk = re.search(r"patches on disk (\d+) bytes, index (\d+) bytes", r.output)
            everything = today + patched + slow_today + slow_patched
            if (r.status != 0 or not (today and patched and slow_today and slow_patched and tool
                                      and disk and build_memory) or len(builds) != 2
                    or any(x[4] != "0" or x[5] != "0" for x in everything)):
                self.failed(f"patches {title}", r)
                continue
            wire_today, wire_patched = today[0][1], patched[0][1]
            tool_bytes = int(tool.group(2))
            share = wire_patched / wire_today
            anon = max(x[2] for x in everything)
            mapped = max(x[3] for x in patched + slow_patched)
            self.rows.append(Row(f"{title}: bytes over the wire, patches/today",
                                 f"{wire_patched:,}", f"{wire_today:,}", (share, share, share),
                                 "<= 0.03" if key == "a" else "", share <= 0.03 if key == "a" else None,
                                 anon, f"file-backed (mapped) peak {mapped:.0f} MiB"))
            vs_tool = wire_patched / tool_bytes
            self.rows.append(Row("  against zstd -3 --patch-from on the same pairs (bytes)",
                                 f"{wire_patched:,}", f"{tool_bytes:,}", (vs_tool,) * 3,
                                 "<= 1.1" if key in "ab" else "",
                                 vs_tool <= 1.1 if key in "ab" else None, None,
                                 "wire (index and headers included)/the tool's patch files"))
            ratio = stats(sorted_ratio([x[0] for x in patched], [x[0] for x in today]))
            self.rows.append(Row("  wall time on loopback, patches/today (s)",
                                 fmt(stats([x[0] for x in patched])), fmt(stats([x[0] for x in today])),
                                 ratio, "<= 1.0", ratio[0] <= 1.0, None, "median of the pairs"))
            speedup = stats(sorted_ratio([x[0] for x in slow_today], [x[0] for x in slow_patched]))
            self.rows.append(Row("  wall time through 100 Mbit/s, today/patches (s)",
                                 fmt(stats([x[0] for x in slow_patched])),
                                 fmt(stats([x[0] for x in slow_today])), speedup,
                                 ">= 10" if key == "a" else "",
                                 speedup[0] >= 10 if key == "a" else None, None,
                                 f"{len(slow_patched)} run(s) each"))
            self.rows.append(Row("  publisher build, with/without patches (s)", builds["with"],
                                 builds["without"],
                                 (float(builds["with"]) / float(builds["without"]),) * 3, "", None,
                                 None, f"patches {int(disk.group(1)):,} bytes on disk, "
                                       f"index {int(disk.group(2)):,}; zstd tool "
                                       f"{float(tool.group(1)):.2f} s; publisher peak anon "
                                       f"{build_memory.group(1)} MiB, mapped "
                                       f"{build_memory.group(2)} MiB"))

    # MD5 of one file against md5sum: what bounds the full check's reading.
    def digest(self):
        r = run([self.exe("digest_bench"), "--size-mib", self.scale, "--runs",
                 max(3, self.runs)], self.limit(120 + 60 * self.gib * self.runs),
                self.logs / "digest.log", env=self.env)
        line = r"^{}\s+wall median\s+([\d.]+) s.*?min\s+([\d.]+) max\s+([\d.]+)"
        a = re.search(line.format("DigestFile"), r.output, re.M)
        b = re.search(line.format("md5sum"), r.output, re.M)
        if r.status != 0 or not a or not b:
            return self.failed("digest", r)
        sa = tuple(float(x) for x in a.groups())
        sb = tuple(float(x) for x in b.groups())
        self.rows.append(Row(f"MD5 of a {self.scale} MiB file (s)", fmt(sa, 3), fmt(sb, 3),
                             (sa[0] / sb[0], sa[1] / sb[2], sa[2] / sb[1]), "", None, None,
                             "DigestFile/md5sum; range from the extremes"))

    # The window: start-up to the first painted frame, and the GUI thread's
    # CPU while a worker changes the status as fast as it can (a bound on the
    # window's cost during a full-speed download). Under Xvfb when present.
    def window(self):
        probe = self.exe("window_probe")
        work = self.tmp / "window"
        work.mkdir()
        shutil.copy(SOURCE / "resources/launcher.bmp", work / "launcher.bmp")
        shutil.copy(SOURCE / "resources/stringtab-en.txt", work / "stringtab.txt")
        env = dict(self.env, XDG_RUNTIME_DIR=str(self.tmp))
        xvfb = None
        if shutil.which("Xvfb"):
            read_fd, write_fd = os.pipe()
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                     "1280x1024x24", "-nolisten", "tcp"], pass_fds=[write_fd],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    start_new_session=True)
            ACTIVE.add(xvfb)
            os.close(write_fd)
            with os.fdopen(read_fd) as f:
                display = f.readline().strip()
            env["DISPLAY"] = ":" + display
            env.pop("QT_QPA_PLATFORM", None)
            where = "Xvfb"
        else:
            env["QT_QPA_PLATFORM"] = "offscreen"
            where = "offscreen"
        try:
            if xvfb and env["DISPLAY"] == ":":
                return self.rows.append(Row("window", note="FAILED: Xvfb did not start"))
            starts = []
            for _ in range(max(5, self.runs)):
                begin = time.time_ns()
                r = run([probe, "first-paint"], self.limit(60), self.logs / "window.log",
                        env=env, cwd=work, echo=False)
                m = re.search(r"^(\d{15,})$", r.output, re.M)
                if r.status != 0 or not m:
                    return self.failed("window start-up", r)
                starts.append((int(m.group(1)) - begin) / 1e6)
            cpu, frames, peaks = [], [], []
            seconds = 5
            for _ in range(self.runs):
                timefile = self.tmp / "window.rss"
                r = run(["/usr/bin/time", "-f", "%M", "-o", timefile, probe, "cpu", seconds],
                        self.limit(60), self.logs / "window.log", env=env, cwd=work, echo=False)
                m = re.search(r"GUI thread CPU ([\d.]+) ms \(([\d.]+)% of one core\), frames (\d+)",
                              r.output)
                if r.status != 0 or not m:
                    return self.failed("window CPU", r)
                cpu.append(float(m.group(2)))
                frames.append(int(m.group(3)) / seconds)
                kib = peak_kib(timefile)
                if kib:
                    peaks.append(kib / 1024)
        finally:
            if xvfb:
                stop_group(xvfb)
                xvfb.wait()
                ACTIVE.discard(xvfb)
        self.rows.append(Row(f"start-up to first frame (ms, {where})", fmt(stats(starts), 0), "",
                             None, "", None, None, "process start to first painted frame"))
        self.rows.append(Row("window CPU, status changed flat out (% of a core)",
                             fmt(stats(cpu)), "", None, "", None, max(peaks) if peaks else None,
                             f"GUI thread; {fmt(stats(frames), 0)} frames/s"))


def machine():
    def first(cmd):
        try:
            out = subprocess.run(cmd, capture_output=True, text=True, timeout=10)
            return (out.stdout or out.stderr).strip().splitlines()[0]
        except (OSError, IndexError, subprocess.SubprocessError):
            return "n/a"

    cpu = "n/a"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem = Path("/proc/meminfo").read_text().split()[1]
    debian = Path("/etc/debian_version").read_text().strip() if Path(
        "/etc/debian_version").exists() else platform.platform()
    return [
        f"CPU: {cpu}, {os.cpu_count()} cores; memory {int(mem) // 1024} MiB",
        f"OS: Debian {debian}, kernel {platform.release()}",
        f"compiler: {first(['c++', '--version'])}",
        f"curl: {first(['curl', '--version'])}",
        f"zstd: {first(['zstd', '--version'])}",
        f"md5sum: {first(['md5sum', '--version'])}",
        f"nginx: {first(['/usr/sbin/nginx', '-v'])}",
        f"OpenSSL: {first(['openssl', 'version'])}",
    ]


def table(rows, scale, runs, started, loads):
    head = ["figure", "launcher: median (min-max)", "standard tool", "ratio", "goal", "met",
            "peak MiB", "note"]
    body = []
    for r in rows:
        met = "" if r.met is None else ("yes" if r.met else "NO")
        peak = "" if r.peak_mib is None else f"{r.peak_mib:.1f}"
        body.append([r.name, r.ours, r.theirs, fmt(r.ratio) if r.ratio else "", r.goal, met,
                     peak, r.note])
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(c.replace("|", "\\|") for c in cells) + " |" for cells in body]
    peaks = [r.peak_mib for r in rows if r.peak_mib is not None]
    summary = [
        f"scale {scale} MiB, {runs} runs per figure, {time.time() - started:.0f} s in all; "
        f"load average (1 min) during the runs: median {statistics.median(loads):.2f}, "
        f"min {min(loads):.2f}, max {max(loads):.2f}",
        f"peak memory goal (<= 64 MiB on the launcher side): "
        + ("met" if peaks and max(peaks) <= 64 else "NOT met" if peaks else "n/a")
        + (f", largest {max(peaks):.1f} MiB" if peaks else ""),
    ]
    return lines, summary


def main():
    env_int = lambda name, default: int(os.environ.get(name, default))
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="64 MiB instead of 1 GiB, 2000 small files")
    p.add_argument("--scale", type=int, help="MiB of data per benchmark (BENCH_SCALE, 1024)")
    p.add_argument("--runs", type=int, default=env_int("BENCH_RUNS", 3))
    p.add_argument("--small", type=int, help="small-file entries (BENCH_SMALL, 10000)")
    p.add_argument("--only", help="comma-separated subset of " + ",".join(BENCHMARKS))
    p.add_argument("--build-dir", default=str(SOURCE / "build/release"))
    p.add_argument("--no-build", action="store_true")
    p.add_argument("--timeout-factor", type=float,
                   default=float(os.environ.get("BENCH_TIMEOUT_FACTOR", 1)))
    args = p.parse_args()
    args.scale = args.scale or env_int("BENCH_SCALE", 64 if args.quick else 1024)
    args.small = args.small or env_int("BENCH_SMALL", 2000 if args.quick else 10000)
    args.runs = max(1, args.runs)
    chosen = args.only.split(",") if args.only else BENCHMARKS
    for name in chosen:
        if name not in BENCHMARKS:
            p.error(f"unknown benchmark {name}")
    for tool in ("curl", "zstd", "md5sum", "tar", "/usr/bin/time", "/usr/sbin/nginx"):
        if not shutil.which(tool):
            raise SystemExit(f"run-bench: {tool} is needed (make deps)")

    build = Path(args.build_dir)
    if not args.no_build:
        log("building the release configuration ...")
        jobs = os.environ.get("BENCH_JOBS", "2")
        subprocess.run(["cmake", "--preset", "release"], cwd=SOURCE, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "-j", jobs, "--target", *TARGETS], check=True,
                       stdout=subprocess.DEVNULL)

    # The largest moment is the incremental update: the installed tree, its
    # compressed form served, the staged copy and curl's copy side by side.
    tmp_root = build / "bench-tmp"
    tmp_root.mkdir(parents=True, exist_ok=True)
    free_mib = shutil.disk_usage(tmp_root).free // (1 << 20)
    need_mib = 5 * args.scale + 1024
    if free_mib < need_mib:
        raise SystemExit(f"run-bench: {free_mib} MiB free under {tmp_root}, {need_mib} needed; "
                         "use --quick or BENCH_SCALE")
    tmp = tmp_root / f"run-{os.getpid()}"
    tmp.mkdir()
    logs = build / "bench-logs"
    logs.mkdir(exist_ok=True)
    for old in logs.glob("*.log"):
        old.unlink()

    def interrupted(signum, _frame):
        for proc in list(ACTIVE):
            stop_group(proc)
        shutil.rmtree(tmp, ignore_errors=True)
        log(f"run-bench: stopped by signal {signum}")
        os._exit(128 + signum)

    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)

    started = time.time()
    bench = Bench(args, build, tmp, logs)
    try:
        for name in chosen:
            log(f"== {name} (load {loadavg():.2f})")
            getattr(bench, name)()
    finally:
        for proc in list(ACTIVE):
            stop_group(proc)
        shutil.rmtree(tmp, ignore_errors=True)

    lines, summary = table(bench.rows, args.scale, args.runs, started, LOAD_SAMPLES)
    report = ["\n".join(machine()), "", "\n".join(summary), "", "\n".join(lines)]
    text = "\n".join(report) + "\n"
    (build / "bench-results.md").write_text(text)
    print(text)
    log(f"logs in {logs}, table in {build / 'bench-results.md'}")
    return 0 if all(not r.note.startswith("FAILED") for r in bench.rows) else 1


if __name__ == "__main__":
    sys.exit(main())
