#!/usr/bin/python3
"""Measures how fast and how completely Vantrel mirrors files under Wine, against a plain Linux
watcher (inotifywait piped into cp) on the same folders in the same run, and writes a report.

Called by bench/run.sh, which builds the programs and prepares Wine first:
    bench.py --build BUILD_DIR --prefix WINEPREFIX --out OUT_DIR [--smoke] [--driver program|host]
             [--pieces-only]

Each side gets the same scripted writes into a fresh source folder; the harness watches the
destination folder with inotify and checks every arrival's content. The sides take turns, in
alternating order, and every figure is repeated and reported as a median, but for the file written
in pieces, which takes two minutes and is measured once a side.
"""
import argparse
import contextlib
import ctypes
import hashlib
import json
import math
import os
import random
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"

FULL = dict(reps=3, latency_files=20, latency_gap=1.5, burst_files=1000, tree_folders=20,
            tree_files=10, rewrites=10, rewrite_gap=0.3, big_sizes=[256, 512], slow_mib=128, slow_s=8.0,
            idle_pairs=50,
            idle_seconds=30, idle_reps=2, stop_pairs=50, stop_cycles=5, settle=4.0,
            large_tree_folders=2000, large_tree_files=50, sweep_reps=3, recovery_files=1500,
            recovery_reps=3, copystop_mib=32, copystop_cycles=3, pieces_mib=240, pieces_gap=0.5)
SMOKE = dict(reps=1, latency_files=3, latency_gap=1.1, burst_files=40, tree_folders=2,
             tree_files=5, rewrites=3, rewrite_gap=0.3, big_sizes=[4, 8], slow_mib=8, slow_s=1.0,
             idle_pairs=3,
             idle_seconds=2, idle_reps=1, stop_pairs=3, stop_cycles=1, settle=2.0,
             large_tree_folders=20, large_tree_files=50, sweep_reps=1, recovery_files=600,
             recovery_reps=1, copystop_mib=16, copystop_cycles=1, pieces_mib=8, pieces_gap=0.5)


def log(*args):
    print("[bench %s]" % time.strftime("%H:%M:%S"), *args, flush=True)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---------------------------------------------------------------------------------------------
# inotify on a destination folder: when each expected file arrives with the right content.

IN_MODIFY, IN_CLOSE_WRITE, IN_MOVED_TO, IN_CREATE = 0x2, 0x8, 0x80, 0x100
_libc = ctypes.CDLL("libc.so.6", use_errno=True)


class DestWatch:
    """Records, per file name, the first time the destination copy matched the expected content
    (bytes, or a function of the path), how many times the name was written and closed (or
    renamed into place), and the bytes it held each time: in all, and with the time of each."""

    def __init__(self, folder):
        self.folder = folder
        self.expected = {}
        self.arrived = {}
        self.closes = {}
        self.bytes = {}
        self.written = {}  # name: [(time, bytes)] of every close or rename into place
        self.last_close = {}
        self.lock = threading.Lock()
        self.fd = _libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.created = []  # (time, name) of every file made in the folder
        self.events = []  # (time, mask, name) of every event, in order
        if _libc.inotify_add_watch(self.fd, folder.encode(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch " + folder)
        self.stop_r, self.stop_w = os.pipe()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def expect(self, name, content):
        with self.lock:
            self.expected[name] = content
            self.arrived.pop(name, None)

    def arrival(self, name):
        with self.lock:
            return self.arrived.get(name)

    def event_mark(self):
        with self.lock:
            return len(self.events)

    def events_since(self, mark):
        with self.lock:
            return list(self.events[mark:])

    def count_arrived(self, names):
        with self.lock:
            return sum(1 for n in names if n in self.arrived)

    def _matches(self, name):
        expected = self.expected.get(name)
        if expected is None:
            return False
        path = os.path.join(self.folder, name)
        if callable(expected):
            return expected(path)
        try:
            with open(path, "rb") as f:
                return f.read() == expected
        except OSError:
            return False

    def _run(self):
        while True:
            ready, _, _ = select.select([self.fd, self.stop_r], [], [])
            if self.stop_r in ready:
                return
            try:
                data = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                continue
            now = time.monotonic()
            offset = 0
            names = []
            while offset < len(data):
                _wd, mask, _cookie, length = struct.unpack_from("iIII", data, offset)
                raw = data[offset + 16:offset + 16 + length]
                offset += 16 + length
                name = raw.split(b"\0", 1)[0].decode(errors="replace")
                with self.lock:
                    self.events.append((now, mask, name))
                if mask & IN_CREATE:
                    with self.lock:
                        self.created.append((now, name))
                else:
                    names.append(name)
            with self.lock:
                for name in names:
                    self.closes[name] = self.closes.get(name, 0) + 1
                    try:
                        size = os.path.getsize(os.path.join(self.folder, name))
                    except OSError:
                        size = 0
                    self.bytes[name] = self.bytes.get(name, 0) + size
                    self.written.setdefault(name, []).append((now, size))
                    self.last_close[name] = now
                    if name not in self.arrived and self._matches(name):
                        self.arrived[name] = now

    def close(self):
        os.write(self.stop_w, b"x")
        self.thread.join()
        for fd in (self.fd, self.stop_r, self.stop_w):
            os.close(fd)


# ---------------------------------------------------------------------------------------------
# /proc helpers

def proc_cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError):
        return None


def proc_status_kib(pid, key):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def proc_pss_kib(pid):
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def proc_threads(pid):
    try:
        return len(os.listdir("/proc/%d/task" % pid))
    except OSError:
        return 0


def proc_env(pid, key):
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            for item in f.read().split(b"\0"):
                if item.startswith(key.encode() + b"="):
                    return item.split(b"=", 1)[1].decode(errors="replace")
    except OSError:
        pass
    return None


def find_wine_process(prefix, image_name):
    """Linux pid of the Wine process of prefix whose command line names image_name."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                argv0 = f.read().split(b"\0", 1)[0].decode(errors="replace")
        except OSError:
            continue
        first = argv0.strip().strip('"').split('" ', 1)[0].split(" ", 1)[0]
        first = first.replace("/", "\\").rsplit("\\", 1)[-1]
        if first.lower() == image_name.lower() and proc_env(pid, "WINEPREFIX") == prefix:
            return pid
    return None


def find_wineserver(prefix):
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        pid = int(entry)
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmd = f.read()
        except OSError:
            continue
        if b"wineserver" in cmd and proc_env(pid, "WINEPREFIX") == prefix:
            return pid
    return None


def group_pids(pgid):
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.getpgid(int(entry)) == pgid:
                    pids.append(int(entry))
            except OSError:
                pass
    return pids


# ---------------------------------------------------------------------------------------------
# The two sides. Each watches a list of (source, destination) pairs.

class ProgramSide:
    """Vantrel.exe (or the engine host) under Wine, with the pairs in a private pair file."""
    name = "program"

    def __init__(self, ctx, pairs, config_root, extra_env=None):
        self.ctx = ctx
        self.pairs = pairs
        os.makedirs(os.path.join(config_root, "Vantrel"), exist_ok=True)
        pair_file = os.path.join(config_root, "Vantrel", "folders.txt")
        if pairs:
            def escape(path):
                return winpath(path).replace("\\", "\\\\").replace(",", "\\,")
            with open(pair_file, "wb") as f:
                f.write(b"\xef\xbb\xbf")
                for src, dst in pairs:
                    f.write(("[PAIR],%s,%s\n" % (escape(src), escape(dst))).encode())
        elif os.path.exists(pair_file):
            os.remove(pair_file)
        bench_exe = os.path.join(ctx.build, "bench", "vantrel_bench.exe")
        if ctx.driver == "program":
            args = [WINE, bench_exe, "launch", winpath(config_root)]
            if ctx.trace:
                # Under the debug viewer every trace line is a debug event: slower, for diagnosis.
                args.append(winpath(os.path.join(ctx.build, "tools", "VantrelDebugView.exe")))
            args.append(winpath(os.path.join(ctx.build, "Vantrel.exe")))
            self.image = "Vantrel.exe"
        else:
            args = [WINE, bench_exe, "host", winpath(config_root)]
            self.image = "vantrel_bench.exe"
        self.started_at = time.monotonic()
        self.output = open(config_root + ".log", "wb")
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=self.output,
                                     stderr=subprocess.STDOUT, env=dict(ctx.wine_env, **(extra_env or {})),
                                     cwd=ctx.work)
        self.pid = None

    def process_pid(self, timeout=30):
        deadline = time.monotonic() + timeout
        while self.pid is None and time.monotonic() < deadline:
            self.pid = find_wine_process(self.ctx.prefix, self.image)
            if self.pid is None:
                if self.proc.poll() is not None:
                    break
                time.sleep(0.05)
        return self.pid

    def alive(self):
        return self.proc.poll() is None and (self.pid is None or os.path.exists("/proc/%d" % self.pid))

    def stop(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        if self.pid and os.path.exists("/proc/%d" % self.pid):
            try:
                os.kill(self.pid, signal.SIGKILL)
            except OSError:
                pass
        self.output.close()
        if self.ctx.trace:
            shutil.copy(self.output.name, os.path.join(self.ctx.trace, os.path.basename(self.output.name)))


REFERENCE_LOOP = r'''
inotifywait -m -r -e close_write,moved_to --format '%w%f' "$1" 2>"$3" |
while IFS= read -r f; do cp -f -- "$f" "$2"/ 2>/dev/null; done
'''


class ReferenceSide:
    """One `inotifywait -m -r -e close_write,moved_to | cp` pipeline per pair."""
    name = "reference"

    def __init__(self, ctx, pairs, log_dir):
        self.pairs = pairs
        self.procs = []
        self.logs = []
        self.started_at = time.monotonic()
        for i, (src, dst) in enumerate(pairs):
            log_file = os.path.join(log_dir, "inotifywait-%02d.log" % i)
            if os.path.exists(log_file):
                os.remove(log_file)
            self.logs.append(log_file)
            self.procs.append(subprocess.Popen(
                ["bash", "-c", REFERENCE_LOOP, "reference", src, dst, log_file],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, start_new_session=True))

    def watches_established(self):
        count = 0
        for log_file in self.logs:
            try:
                with open(log_file) as f:
                    if "Watches established" in f.read():
                        count += 1
            except OSError:
                pass
        return count

    def alive(self):
        return all(p.poll() is None for p in self.procs)

    def pids(self):
        pids = []
        for p in self.procs:
            pids.extend(group_pids(p.pid))
        return pids

    def stop(self):
        for p in self.procs:
            try:
                os.killpg(p.pid, signal.SIGTERM)
            except OSError:
                pass
        for p in self.procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()


def wait_until_watching(side, pairs, timeout=60):
    """Writes a probe file into every source until every destination has it."""
    deadline = time.monotonic() + timeout
    pending = set(range(len(pairs)))
    serial = 0
    while pending and time.monotonic() < deadline:
        if not side.alive():
            raise RuntimeError("%s ended before watching" % side.name)
        serial += 1
        for i in pending:
            with open(os.path.join(pairs[i][0], "probe.txt"), "wb") as f:
                f.write(b"probe %d" % serial)
        step_end = time.monotonic() + 1.2
        while pending and time.monotonic() < step_end:
            for i in list(pending):
                try:
                    with open(os.path.join(pairs[i][1], "probe.txt"), "rb") as f:
                        if f.read().startswith(b"probe "):
                            pending.discard(i)
                except OSError:
                    pass
            time.sleep(0.02)
    if pending:
        raise RuntimeError("%s: %d of %d pairs never mirrored a probe" %
                           (side.name, len(pending), len(pairs)))
    return time.monotonic()


def start_side(ctx, kind, pairs, tag, extra_env=None):
    if kind != "program":
        return ReferenceSide(ctx, pairs, ctx.work)
    # Under Wine a GUI process that starts while the previous one's desktop process is still
    # ending can fail to create its window and exit at once; such a start is tried again.
    for attempt in range(3):
        side = ProgramSide(ctx, pairs, os.path.join(ctx.work, "config-%s-%d" % (tag, attempt)),
                           extra_env)
        side.process_pid()
        time.sleep(0.5)
        if side.alive():
            return side
        side.stop()
        ctx.failed_starts.append(tag)
        log("the program ended at start (%s); starting it again" % tag)
        time.sleep(2.0)
    raise RuntimeError("the program does not stay running")


# ---------------------------------------------------------------------------------------------
# Scenarios on one pair. Every scenario uses names of its own, so they share one watcher.

def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return time.monotonic()


def payload(tag, size=None):
    size = size or random.randint(60, 400)
    head = ("%s %s\n" % (tag, os.urandom(6).hex())).encode()
    return (head + bytes(random.getrandbits(8) for _ in range(max(0, size - len(head)))))


def wait_for(watch, names, settle, cap=60.0):
    """Waits until every name arrived, or nothing new arrived for settle seconds."""
    start = time.monotonic()
    last_count, last_change = -1, start
    while time.monotonic() - start < cap:
        count = watch.count_arrived(names)
        if count == len(names):
            return
        if count != last_count:
            last_count, last_change = count, time.monotonic()
        elif time.monotonic() - last_change > settle:
            return
        time.sleep(0.02)


def scenario_latency(cfg, src, watch):
    sub = os.path.join(src, "sub")
    closes = {}
    start = time.monotonic()
    for k in range(cfg["latency_files"]):
        name = "lat%02d.txt" % k
        folder = sub if k == cfg["latency_files"] // 2 else src
        data = payload(name)
        watch.expect(name, data)
        slot = start + k * cfg["latency_gap"]
        time.sleep(max(0.0, slot - time.monotonic()))
        closes[name] = write_file(os.path.join(folder, name), data)
    wait_for(watch, list(closes), cfg["settle"])
    latencies = {}
    for name, closed in closes.items():
        arrived = watch.arrival(name)
        latencies[name] = None if arrived is None else (arrived - closed) * 1000.0
    return {"latency_ms": latencies, "subfolder_file": "lat%02d.txt" % (cfg["latency_files"] // 2)}


def count_right(dst, expected):
    right = 0
    for name, data in expected.items():
        try:
            with open(os.path.join(dst, name), "rb") as f:
                right += f.read() == data
        except OSError:
            pass
    return right


def scenario_burst(cfg, src, dst, watch):
    expected = {"burst%04d.txt" % k: payload("burst%04d" % k, 100) for k in range(cfg["burst_files"])}
    for name, data in expected.items():
        watch.expect(name, data)
    start = time.monotonic()
    for name, data in expected.items():
        last_close = write_file(os.path.join(src, name), data)
    wait_for(watch, list(expected), cfg["settle"])
    return burst_result(dst, watch, expected, start, last_close)


def scenario_tree(cfg, src, dst, watch):
    expected = {}
    layout = []
    for s in range(cfg["tree_folders"]):
        for k in range(cfg["tree_files"]):
            name = "tree%02d_%02d.txt" % (s, k)
            expected[name] = payload(name, 100)
            layout.append((s, name))
    for name, data in expected.items():
        watch.expect(name, data)
    start = time.monotonic()
    made = set()
    for s, name in layout:
        folder = os.path.join(src, "dir%02d" % s)
        if s not in made:
            os.mkdir(folder)
            made.add(s)
        last_close = write_file(os.path.join(folder, name), expected[name])
    wait_for(watch, list(expected), cfg["settle"])
    return burst_result(dst, watch, expected, start, last_close)


def burst_result(dst, watch, expected, start, last_close):
    arrivals = [watch.arrival(n) for n in expected]
    arrivals = sorted(a - start for a in arrivals if a is not None)
    result = {"files": len(expected), "right": count_right(dst, expected),
              "writer_s": last_close - start,
              "last_arrival_s": arrivals[-1] if arrivals else None}
    if arrivals:
        # The burst's timeline at the destination: how many had arrived when the writer was
        # done, the longest pause between two arrivals (where it began, and how many came after
        # it), and the time by which each tenth of the files had arrived.
        writer = last_close - start
        result["arrived_by_writer_end"] = sum(1 for a in arrivals if a <= writer)
        gaps = [(b - a, a, len(arrivals) - k - 1) for k, (a, b) in enumerate(zip(arrivals, arrivals[1:]))]
        if gaps:
            gap, at, after = max(gaps)
            result["longest_pause_s"], result["longest_pause_at_s"], result["arrived_after_pause"] = gap, at, after
        result["tenths_s"] = [arrivals[min(len(arrivals) - 1, math.ceil(q * len(arrivals) / 10) - 1)]
                              for q in range(1, 11)]
    return result


def scenario_rewrite(cfg, src, dst, watch):
    name = "rewrite.txt"
    versions = [payload("version %d" % k) for k in range(cfg["rewrites"])]
    watch.expect(name, versions[-1])
    start = time.monotonic()
    for k, data in enumerate(versions):
        time.sleep(max(0.0, start + k * cfg["rewrite_gap"] - time.monotonic()))
        closed = write_file(os.path.join(src, name), data)
    wait_for(watch, [name], cfg["settle"])
    try:
        with open(os.path.join(dst, name), "rb") as f:
            final = f.read()
    except OSError:
        final = None
    arrived = watch.arrival(name)
    which = versions.index(final) + 1 if final in versions else 0
    return {"final_ok": final == versions[-1], "dest_version": which,
            "final_after_ms": None if arrived is None else (arrived - closed) * 1000.0,
            "copies": watch.closes.get(name, 0)}


def wine_copy_seconds(ctx, source, target, flushed=True, once=False):
    """CopyFileW of source to target timed inside a Wine process, and (unless `once`) what else
    `vantrel_bench copyfile` times. With `flushed`, everything written so far is on the disk
    first; without, the source is copied as it is (a file just written is in memory only)."""
    if flushed:
        subprocess.check_call(["sync"])
    out = subprocess.run([WINE, os.path.join(ctx.build, "bench", "vantrel_bench.exe"), "copyfile",
                          winpath(source), winpath(target)] + (["once"] if once else []),
                         env=ctx.wine_env, cwd=ctx.work,
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    if os.path.exists(target):
        os.remove(target)
    times = {}
    for line in out.stdout.splitlines():
        words = line.split()
        if len(words) == 2 and words[0] in ("copy_s", "loop4m_s", "move_write_through_s", "move_s",
                                            "copy_ex_progress_s", "copy_safely_s",
                                            "copy_ex_fail_if_exists_s"):
            times[words[0]] = float(words[1])
    return times


def chunked_file(mib_count):
    """The pieces of a file of mib_count MiB, each marked with its number at both ends, and a
    quick check that a copy is the whole file."""
    mib = 1 << 20
    size = mib_count * mib
    block = bytearray(os.urandom(mib))

    def chunk(k):
        block[0:8] = struct.pack("<Q", k)
        block[-8:] = struct.pack("<Q", k ^ 0x5A5A5A5A)
        return bytes(block)

    probes = sorted(set([0, mib_count - 1] + random.sample(range(mib_count), min(14, mib_count))))

    def quick_match(path):
        try:
            if os.path.getsize(path) != size:
                return False
            with open(path, "rb") as f:
                for k in probes:
                    f.seek(k * mib)
                    if struct.unpack("<Q", f.read(8))[0] != k:
                        return False
                    f.seek((k + 1) * mib - 8)
                    if struct.unpack("<Q", f.read(8))[0] != k ^ 0x5A5A5A5A:
                        return False
            return True
        except (OSError, struct.error):
            return False

    return chunk, quick_match


def wait_until_rewritten(watch, name, quiet, cap=120.0):
    """Waits until the destination copy of name has not been written for `quiet` seconds."""
    deadline = time.monotonic() + cap
    while time.monotonic() < deadline:
        with watch.lock:
            last = watch.last_close.get(name)
        if last is None or time.monotonic() - last > quiet:
            return
        time.sleep(0.05)


def warm_memory(folder, mib):
    """Writes and deletes a file of `mib` MiB in `folder`: the next files written take the
    memory it used. On this machine (a virtual machine that hands the memory of freed pages
    back to its host) a file written into memory that was handed back is written at a
    fraction of the usual speed, page by page as the host maps it again: after the harness
    has deleted a few large files, 512 MiB took 5 to 7 s to write instead of 0.1 s, and a
    writer that takes over 5 s is a slow writer to the program. Returns the seconds it took."""
    path = os.path.join(folder, "warm-memory.bin")
    block = bytes(1 << 20)
    begin = time.monotonic()
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(block)
    os.remove(path)
    return time.monotonic() - begin


def write_chunked(path, chunk, mib):
    """Writes the file at full speed: 1 MiB a write; returns the seconds from open to close."""
    start = time.monotonic()
    with open(path, "wb") as f:
        for k in range(mib):
            f.write(chunk(k))
    return time.monotonic() - start


def is_temporary_copy(name):
    """The program's temporary copies: "~vantrel-<process>-<n>.tmp"."""
    return name.lower().startswith("~vantrel-") and name.lower().endswith(".tmp")


def scenario_big(ctx, src, dst, watch, scratch, mib):
    """A large file written at full speed and closed; how long until its copy is identical, and
    how many times the destination was written for it."""
    name = "big%d.bin" % mib
    chunk, quick_match = chunked_file(mib)
    watch.expect(name, quick_match)
    path = os.path.join(src, name)
    # Earlier runs' dirty pages would otherwise be written back during this one.
    subprocess.check_call(["sync"])
    # Memory for the file and its copy, at full speed.
    warm_s = warm_memory(scratch, 2 * mib)
    mark = watch.event_mark()
    start = time.monotonic()
    write_chunked(path, chunk, mib)
    closed = time.monotonic()
    wait_for(watch, [name], max(ctx.cfg["settle"], 10.0), cap=120.0)
    arrived = watch.arrival(name)
    # A watcher may copy the file again after a first complete copy (changes it saw while it
    # was copying): the copy is done when the destination has stopped being rewritten.
    wait_until_rewritten(watch, name, max(ctx.cfg["settle"], 3.0))
    events = watch.events_since(mark)
    with watch.lock:
        last = watch.last_close.get(name)
        # The copy that arrived began when its file (the final name, or a temporary one) was
        # made: the last file made before the arrival.
        begun = max([t for t, _ in watch.created if t >= start and arrived is not None and t <= arrived],
                    default=None)
    # Every write of the destination ends with a close after writing: of the file under its own
    # name (cp), or of a temporary copy that is then renamed into place (the program). Nothing
    # else is copied into this folder while the file is.
    writes = sum(1 for _, mask, n in events if mask & IN_CLOSE_WRITE and (n == name or is_temporary_copy(n)))
    placed = sum(1 for _, mask, n in events if n == name and mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
    # When the copy that arrived was closed after writing (the program: its temporary file, put
    # into place by a rename after that).
    written = max([t for t, mask, n in events if mask & IN_CLOSE_WRITE and (n == name or is_temporary_copy(n))
                   and arrived is not None and t <= arrived], default=None)
    temporaries = sum(1 for _, mask, n in events if mask & IN_CREATE and is_temporary_copy(n))
    identical = arrived is not None and subprocess.call(
        ["cmp", "-s", path, os.path.join(dst, name)]) == 0
    target = os.path.join(scratch, "cp-" + name)
    fresh_copy, floor_writers = [], []
    if ctx.kind_now == "program":
        # The floor as the program meets it: one CopyFileW of a file of this size that the same
        # writer has just written and closed (not yet on the disk), the first copy made of it,
        # as the program's copy is; the better of two such files. Each is made as the file
        # above: earlier writes flushed, memory warmed, written at full speed.
        floor = os.path.join(scratch, "floor-" + name)
        for _ in range(2):
            subprocess.check_call(["sync"])
            warm_memory(scratch, 2 * mib)
            floor_writers.append(write_chunked(floor, chunk, mib))
            fresh_copy.append(wine_copy_seconds(ctx, floor, target, flushed=False, once=True))
            os.remove(floor)
    # The floor of earlier reports, with the file on the disk first: cp of the same file, from
    # the page cache, to the same file system, and one CopyFileW of it; the better of two each,
    # since other work on the machine slows single runs.
    cp_runs = []
    for _ in range(2):
        subprocess.check_call(["sync"])
        t0 = time.monotonic()
        subprocess.check_call(["cp", path, target])
        cp_runs.append(time.monotonic() - t0)
        os.remove(target)
    wine_copy = [wine_copy_seconds(ctx, path, target) for _ in range(2)] if ctx.kind_now == "program" else []
    return {"mib": mib, "writer_s": closed - start, "warm_s": warm_s, "floor_writers_s": floor_writers,
            "copyfilew_fresh_s": min([c["copy_s"] for c in fresh_copy if "copy_s" in c], default=None),
            "copyfilew_fresh_runs": [c.get("copy_s") for c in fresh_copy],
            "copy_ex_fail_if_exists_s": min([c["copy_ex_fail_if_exists_s"] for c in wine_copy
                                             if "copy_ex_fail_if_exists_s" in c], default=None),
            "copyfilew_s": min([c["copy_s"] for c in wine_copy if "copy_s" in c], default=None),
            "copyfilew_runs": [c.get("copy_s") for c in wine_copy],
            "loop4m_s": min([c["loop4m_s"] for c in wine_copy if "loop4m_s" in c], default=None),
            "copy_safely_s": min([c["copy_safely_s"] for c in wine_copy if "copy_safely_s" in c], default=None),
            "move_write_through_s": min([c["move_write_through_s"] for c in wine_copy
                                         if "move_write_through_s" in c], default=None),
            "move_s": min([c["move_s"] for c in wine_copy if "move_s" in c], default=None),
            "first_copy_s": (arrived - closed) if arrived is not None else None,
            "copy_begun_s": (begun - closed) if begun is not None else None,
            "copy_written_s": (written - closed) if written is not None else None,
            "copy_s": (last - closed) if identical and last is not None else None,
            "identical": identical, "copies": placed, "writes": writes, "temporaries": temporaries,
            "events": [[round(t - closed, 4), mask, n] for t, mask, n in events
                       if n == name or is_temporary_copy(n)],
            "cp_s": min(cp_runs), "cp_runs": cp_runs}


def scenario_slow(ctx, src, dst, watch):
    """A download or a video export: slow_mib pieces of 1 MiB written evenly over slow_s s."""
    cfg = ctx.cfg
    name = "slow.bin"
    chunk, quick_match = chunked_file(cfg["slow_mib"])
    watch.expect(name, quick_match)
    path = os.path.join(src, name)
    gap = cfg["slow_s"] / cfg["slow_mib"]
    start = time.monotonic()
    with open(path, "wb", buffering=0) as f:
        for k in range(cfg["slow_mib"]):
            f.write(chunk(k))
            delay = start + (k + 1) * gap - time.monotonic()
            if delay > 0:
                time.sleep(delay)
    closed = time.monotonic()
    wait_for(watch, [name], max(cfg["settle"], 10.0), cap=120.0)
    arrived = watch.arrival(name)
    wait_until_rewritten(watch, name, max(cfg["settle"], 3.0))
    with watch.lock:
        copies = watch.closes.get(name, 0)
        written = watch.bytes.get(name, 0)
    identical = arrived is not None and subprocess.call(
        ["cmp", "-s", path, os.path.join(dst, name)]) == 0
    return {"mib": cfg["slow_mib"], "seconds": cfg["slow_s"], "writer_s": closed - start,
            "identical_after_s": (arrived - closed) if identical else None,
            "copies": copies, "written_mib": written / float(1 << 20), "identical": identical}


def scenario_pieces(ctx, src, dst, watch, scratch):
    """A log that grows for minutes, as an appender writes it: pieces_mib pieces of 1 MiB, one
    every pieces_gap s, the file opened for appending and closed for each piece. Every pause is
    far longer than the program's wait for quiet and ends with the file closed, so nothing the
    program can see tells a pause from the end of the write. (A writer that keeps its file open,
    a downloader, looks the same to the program under Wine, where a Linux writer's hold is
    invisible to the sharing checks; on Windows its hold would fail the copies until the close.)
    What the destination is made to write for the file, and how long after the last close its
    copy is whole."""
    cfg = ctx.cfg
    name = "pieces.log"
    mib, gap = cfg["pieces_mib"], cfg["pieces_gap"]
    chunk, _ = chunked_file(mib)
    path = os.path.join(src, name)
    size = mib << 20

    def whole(copy):
        # Only the last version has the final size; that one is compared in full.
        try:
            return os.path.getsize(copy) == size and subprocess.call(["cmp", "-s", path, copy]) == 0
        except OSError:
            return False

    watch.expect(name, whole)
    subprocess.check_call(["sync"])
    warm_memory(scratch, 2 * mib)
    mark = watch.event_mark()
    start = time.monotonic()
    for k in range(mib):
        time.sleep(max(0.0, start + k * gap - time.monotonic()))
        with open(path, "ab", buffering=0) as f:
            f.write(chunk(k))
    closed = time.monotonic()
    # A late final copy is a figure too, not a miss: a minute's wait for it.
    wait_for(watch, [name], 60.0, cap=60.0)
    arrived = watch.arrival(name)
    wait_until_rewritten(watch, name, max(cfg["settle"], 3.0))
    events = watch.events_since(mark)
    with watch.lock:
        # Every write of the destination for the file: `cp`'s closes of it, the program's
        # temporary copies moved into place, each with the size the name then held.
        written = list(watch.written.get(name, []))
        written_bytes = watch.bytes.get(name, 0)
    identical = arrived is not None and subprocess.call(["cmp", "-s", path, os.path.join(dst, name)]) == 0
    # Temporary copies closed after writing that were never moved into place wrote the
    # destination too; their bytes are not in the sum above.
    temporaries = sum(1 for _, mask, n in events if mask & IN_CLOSE_WRITE and is_temporary_copy(n))
    moved = sum(1 for _, mask, n in events if mask & IN_MOVED_TO and n == name)
    return {"mib": mib, "gap_s": gap, "pieces": mib, "reopened": True, "writer_s": closed - start,
            "identical": identical,
            "identical_after_s": (arrived - closed) if identical else None,
            "copies": len(written), "copies_after_close": sum(1 for t, _ in written if t > closed),
            "written_mib": written_bytes / float(1 << 20),
            "written_share": written_bytes / float(size),
            "temporaries_closed": temporaries, "temporaries_not_placed": max(0, temporaries - moved),
            "writes": [[round(t - start, 3), round(b / float(1 << 20), 3)] for t, b in written]}


@contextlib.contextmanager
def watched_pair(ctx, kind, name, subfolder=False):
    """One pair of fresh folders under the side's watch, and a watch on its destination; yields
    (root, src, dst, side, watch), and stops the side and removes the folders afterwards."""
    root = os.path.join(ctx.work, name)
    src, dst = os.path.join(root, "src"), os.path.join(root, "dst")
    os.makedirs(os.path.join(src, "sub") if subfolder else src)
    os.makedirs(dst)
    side = start_side(ctx, kind, [(src, dst)], name)
    try:
        wait_until_watching(side, [(src, dst)])
        time.sleep(1.2)
        watch = DestWatch(dst)
        try:
            yield root, src, dst, side, watch
        finally:
            watch.close()
    finally:
        side.stop()
        shutil.rmtree(root, ignore_errors=True)


def run_pair_scenarios(ctx, kind, rep):
    cfg = ctx.cfg
    result = {"side": kind, "rep": rep}
    with watched_pair(ctx, kind, "%s-%d" % (kind, rep), subfolder=True) as (root, src, dst, side, watch):
        result["latency"] = scenario_latency(cfg, src, watch)
        time.sleep(1.2)
        result["burst"] = scenario_burst(cfg, src, dst, watch)
        time.sleep(1.2)
        result["tree"] = scenario_tree(cfg, src, dst, watch)
        time.sleep(1.2)
        result["rewrite"] = scenario_rewrite(cfg, src, dst, watch)
        time.sleep(1.2)
        result["slow"] = scenario_slow(ctx, src, dst, watch)
        time.sleep(1.2)
        ctx.kind_now = kind
        result["big"] = []
        for mib in cfg["big_sizes"]:
            result["big"].append(scenario_big(ctx, src, dst, watch, root, mib))
            time.sleep(1.2)
        result["alive_at_end"] = side.alive()
    return result


def run_pieces(ctx, kind):
    """The file written in pieces on a pair of its own: two minutes in a full run, so once a
    side, not once a repetition."""
    result = {"side": kind}
    with watched_pair(ctx, kind, "pieces-%s" % kind) as (root, src, dst, side, watch):
        result.update(scenario_pieces(ctx, src, dst, watch, root))
        result["alive_at_end"] = side.alive()
    return result


# ---------------------------------------------------------------------------------------------
# Idle cost and start/stop with many pairs.

def make_pairs(root, count):
    pairs = []
    for i in range(count):
        src, dst = os.path.join(root, "src%02d" % i), os.path.join(root, "dst%02d" % i)
        os.makedirs(src)
        os.makedirs(dst)
        pairs.append((src, dst))
    return pairs


def measure_idle(ctx, rep):
    cfg = ctx.cfg
    seconds = cfg["idle_seconds"]
    root = os.path.join(ctx.work, "idle-%d" % rep)
    pairs = make_pairs(root, cfg["idle_pairs"])
    result = {"rep": rep, "pairs": len(pairs), "seconds": seconds}
    wineserver = find_wineserver(ctx.prefix)

    def sample_program(side):
        return proc_cpu_seconds(side.pid), proc_cpu_seconds(wineserver) if wineserver else None

    # The program with every pair, alone on the machine.
    side = start_side(ctx, "program", pairs, "idle-%d" % rep)
    try:
        ready = wait_until_watching(side, pairs)
        result["program_start_to_watching_s"] = ready - side.started_at
        time.sleep(2.0)
        cpu0, ws0 = sample_program(side)
        time.sleep(seconds)
        cpu1, ws1 = sample_program(side)
        result["program"] = {"cpu_s": cpu1 - cpu0,
                             "wineserver_cpu_s": (ws1 - ws0) if ws0 is not None else None,
                             "rss_kib": proc_status_kib(side.pid, "VmRSS"),
                             "pss_kib": proc_pss_kib(side.pid), "threads": proc_threads(side.pid)}
    finally:
        side.stop()

    # The program with no pair, and the reference with every pair, side by side: the reference
    # does not use Wine, so the wineserver's time still belongs to the program.
    base = start_side(ctx, "program", [], "idle-base-%d" % rep)
    ref = start_side(ctx, "reference", pairs, "idle-ref-%d" % rep)
    try:
        ready = wait_until_watching(ref, pairs)
        result["reference_start_to_watching_s"] = ready - ref.started_at
        time.sleep(max(2.0, base.started_at + 5.0 - time.monotonic()))
        b0, bws0 = sample_program(base)
        ref_pids = ref.pids()
        r0 = sum(proc_cpu_seconds(p) or 0 for p in ref_pids)
        time.sleep(seconds)
        b1, bws1 = sample_program(base)
        r1 = sum(proc_cpu_seconds(p) or 0 for p in ref_pids)
        result["program_no_pair"] = {"cpu_s": b1 - b0,
                                     "wineserver_cpu_s": (bws1 - bws0) if bws0 is not None else None,
                                     "rss_kib": proc_status_kib(base.pid, "VmRSS"),
                                     "pss_kib": proc_pss_kib(base.pid),
                                     "threads": proc_threads(base.pid),
                                     "alive": base.alive()}
        result["reference"] = {"cpu_s": r1 - r0, "processes": len(ref_pids),
                               "rss_kib": sum(proc_status_kib(p, "VmRSS") or 0 for p in ref_pids),
                               "pss_kib": sum(proc_pss_kib(p) or 0 for p in ref_pids)}
    finally:
        base.stop()
        ref.stop()
        shutil.rmtree(root, ignore_errors=True)
    return result


def measure_engine_start_stop(ctx):
    cfg = ctx.cfg
    root = os.path.join(ctx.work, "startstop")
    os.makedirs(root)
    out = subprocess.run([WINE, os.path.join(ctx.build, "bench", "vantrel_bench.exe"), "startstop",
                          winpath(root), str(cfg["stop_pairs"]), str(cfg["stop_cycles"])],
                         env=ctx.wine_env, cwd=ctx.work, stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, timeout=300)
    cycles = []
    for line in out.stdout.splitlines():
        words = line.split()
        if words and words[0] == "cycle":
            values = {}
            for key, value in zip(words[2::2], words[3::2]):
                values[key] = float(value)
            cycles.append(values)
        elif words and words[0] == "error":
            raise RuntimeError("vantrel_bench startstop: " + line)
    shutil.rmtree(root, ignore_errors=True)
    return cycles


def measure_call_costs(ctx, rounds=300):
    root = os.path.join(ctx.work, "callcost")
    os.makedirs(root)
    out = subprocess.run([WINE, os.path.join(ctx.build, "bench", "vantrel_bench.exe"), "callcost",
                          winpath(root), str(rounds)], env=ctx.wine_env, cwd=ctx.work,
                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    costs, checks = {}, {}
    for line in out.stdout.splitlines():
        words = line.split()
        if len(words) == 4 and words[0] == "call":
            costs[words[1]] = float(words[3])
        elif len(words) > 2 and words[0] == "check":
            # "check NAME placed N [of M] temporaries T"
            checks[words[1]] = " ".join(words[2:])
    shutil.rmtree(root, ignore_errors=True)
    return costs, checks


def measure_notes(ctx, notes, saves, per_save):
    """What keeping the copy notes writes to the configuration folder while a pair copies: NOTES
    notes kept, then SAVES saves of the points (one a minute), each after PER_SAVE copies."""
    root = os.path.join(ctx.work, "notes")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    out = subprocess.run([WINE, os.path.join(ctx.build, "bench", "vantrel_bench.exe"), "notes",
                          winpath(root), str(notes), str(saves), str(per_save)], env=ctx.wine_env,
                         cwd=ctx.work, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                         timeout=600)
    result = {}
    for line in out.stdout.splitlines():
        words = line.split()
        if len(words) == 2 and words[0].startswith("notes_"):
            result[words[0][len("notes_"):]] = int(words[1])
    shutil.rmtree(root, ignore_errors=True)
    return result


def measure_reference_start_stop(ctx):
    cfg = ctx.cfg
    root = os.path.join(ctx.work, "ref-startstop")
    pairs = make_pairs(root, cfg["stop_pairs"])
    cycles = []
    for cycle in range(cfg["stop_cycles"]):
        side = ReferenceSide(ctx, pairs, ctx.work)
        begin = side.started_at
        while side.watches_established() < len(pairs) and time.monotonic() - begin < 30:
            time.sleep(0.002)
        started = time.monotonic()
        watching = wait_until_watching(side, pairs)
        time.sleep(0.5)
        t0 = time.monotonic()
        side.stop()
        stopped = time.monotonic()
        cycles.append({"all_started_ms": (started - begin) * 1000.0,
                       "mirror_ms": (watching - started) * 1000.0,
                       "stop_ms": (stopped - t0) * 1000.0})
        for src, dst in pairs:
            for folder in (src, dst):
                try:
                    os.remove(os.path.join(folder, "probe.txt"))
                except OSError:
                    pass
    shutil.rmtree(root, ignore_errors=True)
    return cycles


# ---------------------------------------------------------------------------------------------
# Stopping while every pair copies.

def measure_copy_stop(ctx):
    """StopMonitoring with every watch thread in the middle of a large copy, inside the process.

    Each pair gets a file of copystop_mib MiB, linked into its source from here within about a
    millisecond when vantrel_bench says it is ready, last written an hour ago (so it is copied
    at once, not after the wait for quiet). The files are written for real once and dropped
    from the page cache before every cycle, so the copies read them from the disk: with sparse
    files or cached ones a copy takes some 15 ms alone, and the first copies ended before the
    last ones had even made their temporary file (the file system and Wine's server slow down
    the start of a copy while fifty others write), so the stop never met fifty copies under way."""
    cfg = ctx.cfg
    root = os.path.join(ctx.work, "copystop")
    staging = os.path.join(ctx.work, "copystop-files")
    os.makedirs(root)
    os.makedirs(staging)
    mib = 1 << 20
    files = []
    for i in range(cfg["stop_pairs"]):
        path = os.path.join(staging, "%02d.bin" % i)
        with open(path, "wb") as f:
            zeros = bytes(mib)
            for _ in range(cfg["copystop_mib"]):
                f.write(zeros)
            f.flush()
            os.fsync(f.fileno())
        hour_ago = time.time() - 3600
        os.utime(path, (hour_ago, hour_ago))
        files.append(path)
    proc = subprocess.Popen([WINE, os.path.join(ctx.build, "bench", "vantrel_bench.exe"), "copystop",
                             winpath(root), str(cfg["stop_pairs"]), str(cfg["copystop_mib"]),
                             str(cfg["copystop_cycles"])],
                            env=ctx.wine_env, cwd=ctx.work, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    cycles = []
    timer = threading.Timer(900, proc.kill)
    timer.start()
    try:
        for line in proc.stdout:
            words = line.split()
            if words and words[0] == "ready":
                for path in files:
                    fd = os.open(path, os.O_RDONLY)
                    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
                    os.close(fd)
                for i, path in enumerate(files):
                    os.link(path, os.path.join(root, "src%02d" % i, "big.bin"))
            elif words and words[0] == "copycycle":
                cycles.append({key: float(value) for key, value in zip(words[2::2], words[3::2])})
            elif words and words[0] == "error":
                raise RuntimeError("vantrel_bench copystop: " + line)
        proc.wait()
    finally:
        timer.cancel()
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        shutil.rmtree(root, ignore_errors=True)
        shutil.rmtree(staging, ignore_errors=True)
    return cycles


# ---------------------------------------------------------------------------------------------
# A large tree: what a sweep of it costs, and what it adds to the recovery from an overflow.

def make_large_tree(ctx):
    """large_tree_folders folders of large_tree_files small files each, below a folder that the
    recovery figure watches. Made once and used by the sweep and the recovery figures; made
    before anything is measured, so that by then it is old to every walk."""
    cfg = ctx.cfg
    holder = os.path.join(ctx.work, "large")
    tree = os.path.join(holder, "tree")
    for d in range(cfg["large_tree_folders"]):
        folder = os.path.join(tree, "d%04d" % d)
        os.makedirs(folder)
        for k in range(cfg["large_tree_files"]):
            with open(os.path.join(folder, "f%04d_%02d.txt" % (d, k)), "wb") as f:
                f.write(b"file %04d %02d\n" % (d, k))
    subprocess.check_call(["sync"])
    return holder, tree


def measure_sweep(ctx, tree):
    """One sweep of the tree by the engine against a bare FindFirstFileExW listing of it,
    inside one Wine process, in alternating order."""
    dest = os.path.join(ctx.work, "sweep-dest")
    out = subprocess.run([WINE, os.path.join(ctx.build, "bench", "vantrel_bench.exe"), "sweep",
                          winpath(tree), winpath(dest), str(ctx.cfg["sweep_reps"])],
                         env=ctx.wine_env, cwd=ctx.work, stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, timeout=900)
    result = {"listing_ms": [], "sweep_ms": [], "copied": [], "complete": [], "order": []}
    for line in out.stdout.splitlines():
        words = line.split()
        if not words:
            continue
        values = dict(zip(words[2::2], words[3::2])) if words[0] != "warmup" else dict(zip(words[1::2], words[2::2]))
        if words[0] == "warmup":
            result["warmup_ms"] = float(values["ms"])
            result["files"], result["folders"] = int(values["files"]), int(values["folders"])
        elif words[0] == "listing":
            result["listing_ms"].append(float(values["ms"]))
            result["order"].append("listing")
        elif words[0] == "sweep":
            result["sweep_ms"].append(float(values["ms"]))
            result["copied"].append(int(values["copied"]))
            result["complete"].append(values["complete"] == "1")
            result["order"].append("sweep")
    shutil.rmtree(dest, ignore_errors=True)
    if not result["sweep_ms"] or not result["listing_ms"]:
        raise RuntimeError("vantrel_bench sweep: " + out.stdout + out.stderr)
    return result


class LogTail:
    """Follows the output file of a program run with its trace on standard error (Wine's
    warn+seh channel prints every OutputDebugStringA line), noting when each trace line
    appeared (to within the 20 ms between looks)."""

    MARK = b":OutputDebugStringA "

    def __init__(self, path):
        self.path = path
        self.lines = []
        self.last_line_at = time.monotonic()
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        offset, partial = 0, b""
        while not self.stopping.wait(0.02):
            try:
                with open(self.path, "rb") as f:
                    f.seek(offset)
                    data = f.read()
            except OSError:
                continue
            if not data:
                continue
            offset += len(data)
            now = time.monotonic()
            *complete, partial = (partial + data).split(b"\n")
            with self.lock:
                for line in complete:
                    cut = line.find(self.MARK)
                    if cut >= 0:
                        self.lines.append((now, line[cut + len(self.MARK):].decode(errors="replace")))
                        self.last_line_at = now

    def mark(self):
        with self.lock:
            return len(self.lines)

    def lines_since(self, mark):
        with self.lock:
            return list(self.lines[mark:])

    def wait_for(self, text, timeout, mark=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(text in line for _, line in self.lines_since(mark)):
                return True
            time.sleep(0.05)
        return False

    def wait_quiet(self, quiet, cap):
        """Waits until no trace line has come for `quiet` seconds."""
        deadline = time.monotonic() + cap
        while time.monotonic() < deadline:
            with self.lock:
                last = self.last_line_at
            if time.monotonic() - last > quiet:
                return True
            time.sleep(0.05)
        return False

    def close(self):
        self.stopping.set()
        self.thread.join()


def measure_recovery(ctx, holder, kind, rep):
    """A burst that overflows the read, written into a watched folder that holds the large tree
    (kind "large") or nothing else (kind "empty"), through Vantrel.exe with its trace on."""
    cfg = ctx.cfg
    root = os.path.join(ctx.work, "recovery-%s-%d" % (kind, rep))
    src = holder if kind == "large" else os.path.join(root, "src")
    dst = os.path.join(root, "dst")
    os.makedirs(src, exist_ok=True)
    os.makedirs(dst)
    expected = {"rec%04d.txt" % k: payload("rec%04d" % k, 100) for k in range(cfg["recovery_files"])}
    side = start_side(ctx, "program", [(src, dst)], "recovery-%s-%d" % (kind, rep),
                      extra_env={"WINEDEBUG": "-all,warn+seh"})
    tail = LogTail(side.output.name)
    result = {"kind": kind, "rep": rep}
    try:
        # Under Wine the watch opens every subfolder once and then walks for a catch-up: the
        # burst starts when that is done, and the program has been quiet for a second.
        if not tail.wait_for("catch-up pass copied", 300):
            raise RuntimeError("recovery %s: the watch never finished its catch-up" % kind)
        result["ready_s"] = time.monotonic() - side.started_at
        tail.wait_quiet(1.0, 30)
        watch = DestWatch(dst)
        try:
            for name, data in expected.items():
                watch.expect(name, data)
            mark = tail.mark()
            cpu0 = proc_cpu_seconds(side.pid)
            start = time.monotonic()
            for name, data in expected.items():
                last_close = write_file(os.path.join(src, name), data)
            # A walk of the large tree arrives nothing for seconds: a long settle.
            wait_for(watch, list(expected), max(cfg["settle"], 20.0), cap=240.0)
            # A walk still under way after the last arrival is the burst's cost too.
            tail.wait_quiet(2.0, 120)
            cpu1 = proc_cpu_seconds(side.pid)
            result.update(burst_result(dst, watch, expected, start, last_close))
        finally:
            watch.close()
        lines = tail.lines_since(mark)
        recoveries = [(t, line) for t, line in lines if "recovery pass copied" in line]
        result["recovery_passes"] = len(recoveries)
        result["recovery_copied"] = [int(line.split("recovery pass copied ")[1].split()[0])
                                     for _, line in recoveries]
        result["overflows"] = sum(1 for _, line in lines
                                  if line.startswith('"ReadDirectoryChangesW failed') and "err=1022" in line)
        result["last_recovery_s"] = (recoveries[-1][0] - start) if recoveries else None
        result["cpu_s"] = (cpu1 - cpu0) if cpu0 is not None and cpu1 is not None else None
        result["alive_at_end"] = side.alive()
    finally:
        tail.close()
        side.stop()
        for name in expected:
            try:
                os.remove(os.path.join(src, name))
            except OSError:
                pass
        shutil.rmtree(root, ignore_errors=True)
    return result


# ---------------------------------------------------------------------------------------------

class Context:
    pass


def measure_all(ctx, results, smoke):
    """Every figure, both sides, into results."""
    log("a tree of %d folders of %d files" % (ctx.cfg["large_tree_folders"], ctx.cfg["large_tree_files"]))
    holder, tree = make_large_tree(ctx)
    for rep in range(ctx.cfg["reps"]):
        order = ["program", "reference"] if rep % 2 == 0 else ["reference", "program"]
        for kind in order:
            log("rep %d: %s on one pair" % (rep + 1, kind))
            results["pair_runs"].append(run_pair_scenarios(ctx, kind, rep))
    for kind in ("program", "reference"):
        log("%s: a file written in pieces, %d MiB over %.0f s" % (
            kind, ctx.cfg["pieces_mib"], ctx.cfg["pieces_mib"] * ctx.cfg["pieces_gap"]))
        results["pieces"].append(run_pieces(ctx, kind))
    log("start-up and StopMonitoring with %d pairs, inside the process" % ctx.cfg["stop_pairs"])
    results["engine_start_stop"] = measure_engine_start_stop(ctx)
    results["reference_start_stop"] = measure_reference_start_stop(ctx)
    log("StopMonitoring with %d pairs each copying %d MiB" % (ctx.cfg["stop_pairs"], ctx.cfg["copystop_mib"]))
    results["copy_stop"] = measure_copy_stop(ctx)
    subprocess.check_call(["sync"])
    results["call_costs_us"], results["call_checks"] = measure_call_costs(ctx, 300 if not smoke else 20)
    log("copy notes: %d kept, a save a minute for an hour" % (65536 if not smoke else 4096))
    results["notes"] = measure_notes(ctx, 65536 if not smoke else 4096, 60 if not smoke else 10, 50)
    log("a sweep of the large tree against a bare listing, %d times each" % ctx.cfg["sweep_reps"])
    results["sweep"] = measure_sweep(ctx, tree)
    for rep in range(ctx.cfg["recovery_reps"]):
        for kind in (["empty", "large"] if rep % 2 == 0 else ["large", "empty"]):
            log("recovery %d: %d-file burst, %s tree" % (rep + 1, ctx.cfg["recovery_files"], kind))
            results["recovery"].append(measure_recovery(ctx, holder, kind, rep))
    for rep in range(ctx.cfg["idle_reps"]):
        log("idle %d: %d pairs, %d s" % (rep + 1, ctx.cfg["idle_pairs"], ctx.cfg["idle_seconds"]))
        results["idle"].append(measure_idle(ctx, rep))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build")
    parser.add_argument("--prefix")
    parser.add_argument("--out", required=True)
    parser.add_argument("--report-only", action="store_true",
                        help="write the report again from OUT's results.json, measuring nothing")
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--driver", choices=["program", "host"], default="program")
    parser.add_argument("--work", default=None, help="scratch folder (default: a new one in /tmp)")
    parser.add_argument("--trace", default=None,
                        help="run Vantrel.exe under VantrelDebugView and keep its trace in this folder")
    parser.add_argument("--pieces-only", action="store_true",
                        help="measure only the file written in pieces, against the program alone")
    args = parser.parse_args()
    pieces_only = args.pieces_only
    results_name = ("smoke-" if args.smoke else "") + ("pieces-results.json" if pieces_only else "results.json")
    if args.report_only:
        import report
        with open(os.path.join(args.out, results_name)) as f:
            results = json.load(f)
        if pieces_only:
            report.write_pieces(results, args.out, smoke=args.smoke)
        else:
            report.write(results, args.out, smoke=args.smoke)
        return 0
    if not args.build or not args.prefix:
        parser.error("--build and --prefix are needed to measure")

    ctx = Context()
    ctx.build = os.path.abspath(args.build)
    ctx.prefix = os.path.abspath(args.prefix)
    ctx.cfg = dict(SMOKE if args.smoke else FULL)
    ctx.driver = args.driver
    ctx.failed_starts = []
    ctx.trace = os.path.abspath(args.trace) if args.trace else None
    if ctx.trace:
        os.makedirs(ctx.trace, exist_ok=True)
    ctx.work = tempfile.mkdtemp(prefix="vantrel-bench-", dir=args.work)
    ctx.wine_env = dict(os.environ, WINEPREFIX=ctx.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
    random.seed(7)
    os.makedirs(args.out, exist_ok=True)
    log("work folder", ctx.work, "driver", ctx.driver, "smoke" if args.smoke else "full")

    results = {"mode": "smoke" if args.smoke else "full", "config": ctx.cfg, "driver": ctx.driver,
               "traced": bool(ctx.trace),
               "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"), "machine": machine_facts(),
               "pair_runs": [], "idle": [], "engine_start_stop": [], "reference_start_stop": [],
               "copy_stop": [], "recovery": [], "pieces": [], "pieces_only": pieces_only}
    begin = time.monotonic()
    try:
        if ctx.driver == "program" and not program_stays_up(ctx):
            log("Vantrel.exe does not stay running; measuring the engine host instead")
            ctx.driver = results["driver"] = "host"
        if pieces_only:
            log("the program only: a file written in pieces, %d MiB over %.0f s" % (
                ctx.cfg["pieces_mib"], ctx.cfg["pieces_mib"] * ctx.cfg["pieces_gap"]))
            results["pieces"].append(run_pieces(ctx, "program"))
        else:
            measure_all(ctx, results, args.smoke)
    finally:
        results["duration_s"] = time.monotonic() - begin
        results["machine"]["loadavg_end"] = loadavg()
        results["failed_starts"] = ctx.failed_starts
        shutil.rmtree(ctx.work, ignore_errors=True)
        with open(os.path.join(args.out, results_name), "w") as f:
            json.dump(results, f, indent=1, sort_keys=True)

    import report
    if pieces_only:
        summary = report.write_pieces(results, args.out, smoke=args.smoke)
    else:
        summary = report.write(results, args.out, smoke=args.smoke)
    log("done in %.0f s" % results["duration_s"])
    return 0 if summary["complete"] else 1


def program_stays_up(ctx):
    try:
        side = start_side(ctx, "program", [], "probe-start")
    except RuntimeError:
        return False
    time.sleep(1.5)
    up = side.alive()
    side.stop()
    return up


def loadavg():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return None


def machine_facts():
    facts = {"cpus": os.cpu_count(), "loadavg_start": loadavg()}
    try:
        facts["wine"] = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        pass
    try:
        facts["inotifywait"] = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "inotify-tools"],
                                              capture_output=True, text=True).stdout.strip()
    except OSError:
        pass
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    facts["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return facts


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
