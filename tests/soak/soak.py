#!/usr/bin/env python3
"""Soak run of the whole daemon, for a set time (default 5 minutes).

It writes a configuration of 16 enabled channels, each a generated test
picture and tone (ffmpeg's lavfi sources), half of them sent to UDP on
loopback and half to HLS files, starts the real daemon on the stand-in transcoder in private mount and
network namespaces (tests/fixtures/run_daemon_ns.sh), and then, for the set
time:
  - kills one transcoder with SIGKILL every 10 s, the channels in turn, and
    watches the daemon start it again;
  - asks "/status" every 100 ms over one kept-alive connection, from a
    process of its own, and times every answer;
  - samples /proc every 0.5 s: the daemon's CPU time, RSS, descriptors and
    threads, the CPU time of every transcoder and ffmpeg below it, zombies
    among them, and (every 5 s) transcoders that are no longer below it.
With --quiet there are no kills and "/status" is asked once a second: the
daemon's own cost beside running channels.  Either way a bare C loop of 20 ms
sleeps (compiled on the spot with cc) runs in the same window, and the report
sets the daemon's CPU share beside that loop's.
At the end it prints a report with the figures and the targets met or
missed, and ends with 0 when every target is met, 1 when one is missed and 2
when the run could not be made.  It is not part of the test suite.

  sudo tests/soak/soak.py [DURATION] [options]     DURATION: 300, 90s, 5m
  sudo tests/soak/soak.py 3m --quiet               no kills, "/status" once a second
  tests/soak/soak.py --help                        for the options

--inner runs the measuring part alone, inside the namespaces (the launcher
starts it so); with --daemon-pid and --url it can be pointed at any process
that answers "/status" in the daemon's form.
"""

import argparse
import bisect
import http.client
import json
import multiprocessing
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
LAUNCHER = os.path.join(ROOT, "tests", "fixtures", "run_daemon_ns.sh")

WEB_PORT = 9527                 # the daemon's default web port
UDP_BASE_PORT = 20000           # channel N sends to UDP port UDP_BASE_PORT + N
PASSWORD = "soak-pass"          # login of the generated configuration
CLK_TCK = os.sysconf("SC_CLK_TCK")

SAMPLE_EVERY = 0.5              # /proc sampling of the daemon and its tree
ORPHAN_SCAN_EVERY = 5.0         # scan of the whole /proc for lost transcoders
WATCH_TICK = 0.005              # watching for the restart after a kill
WARM_UP = 3.0                   # after every channel runs, before the start figures
START_TIMEOUT = 60.0            # for every channel to run at the beginning
POLLER_LEAD = 1.0               # polling before the start figures are taken
KILL_TAIL = 2.0                 # the last kill leaves "autoRestart" s + this
RESTART_SLACK = 0.100           # target: back within "autoRestart" s + this
DAEMON_CPU_TARGET = 0.5         # per cent of one core
EXCESS_CPU_TARGET = 0.15        # quiet run: daemon over the bare loop, per cent of one core
RSS_FLAT_KB = 512               # RSS growth still counted as flat
LOOP_PERIOD = 0.020             # the daemon's supervision period
STEADY_SAMPLES = 20             # RSS and descriptors are judged on the median of
                                # this many samples at the start and at the end
HLS_FRESH = 10.0                # an HLS playlist rewritten this recently is live
LOG_DIR = "/var/tovul/log"      # the channel logs, as the daemon sees them

# the rows of "/status" by their "state" word
STATE_LETTER = {"running": "r", "idle": "i", "preview": "p", "stopping": "s"}


# ------------------------------------------------------------------ /proc

def read_stat(pid):
    """(state, ppid, cpu ticks, threads, start time) of a process, or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    fields = text[text.rindex(")") + 2:].split()
    # fields[0] is field 3 of proc(5): state, ppid, ... utime 14, stime 15,
    # num_threads 20, starttime 22
    return (fields[0], int(fields[1]), int(fields[11]) + int(fields[12]),
            int(fields[17]), int(fields[19]))


def read_cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""


def children(pid):
    """Direct children of every thread of a process (timer threads fork too)."""
    kids = []
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return kids
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/children") as f:
                kids.extend(int(k) for k in f.read().split())
        except OSError:
            pass
    return kids


def descendants(pid):
    out, todo = [], children(pid)
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(children(p))
    return out


def rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def fd_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return -1


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def find_daemon():
    """The daemon of this network namespace: a process named tovul whose
    parent is not also named tovul (a child between fork and exec would be)."""
    own_ns = os.readlink("/proc/self/ns/net")
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/comm") as f:
                if f.read().strip() != "tovul":
                    continue
            if os.readlink(f"/proc/{name}/ns/net") != own_ns:
                continue
        except OSError:
            continue
        st = read_stat(name)
        if st and st[0] != "Z":
            found.append(int(name))
    found = [p for p in found if read_stat(p) and read_stat(p)[1] not in found]
    return found[0] if len(found) == 1 else None


# ---------------------------------------------------------- configuration

def channel_dir(out_root, n):
    return os.path.join(out_root, f"ch{n:02d}")


def sends_udp(ch):
    """Channel index ch sends to UDP (odd channel numbers), else to HLS."""
    return ch % 2 == 0


def channel_marker(run_id, n):
    """Text in the transcoder's command line that names channel n of this run."""
    return f"{run_id}-ch{n:02d}"


def make_config(nchannels, run_id, out_root, auto_restart, log_level):
    """The configuration document: nchannels enabled channels from a lavfi
    picture and tone, odd channel numbers N to UDP port UDP_BASE_PORT + N,
    even ones to HLS files in out_root/chNN/.  Each channel has one target:
    with two, the engine gives an HLS output the stream indexes of the
    multi-variant form, which a single-variant HLS output does not have."""
    picture = {"enable": True, "codec": "mp2v", "width": 320, "height": 240,
               "frameRate": 25, "keyFrameInterval": 25, "bitRate": 400}
    sound = {"enable": True, "codec": "mp2a", "sampleRate": 48000, "channels": 2,
             "bitRate": 64, "options": []}
    channels = []
    for n in range(1, nchannels + 1):
        source = {"format": "file",
                  "url": "testsrc2=size=320x240:rate=25[out0];"
                         f"sine=frequency={200 + 20 * n}:sample_rate=48000[out1]",
                  "video": {"options": []}}
        # the service name marks the run and the channel in the command line
        options = [f"-metadata service_name={channel_marker(run_id, n)}"]
        if sends_udp(n - 1):
            target = {"format": "udp",
                      "url": f"udp://127.0.0.1:{UDP_BASE_PORT + n}?pkt_size=1316",
                      "video": dict(picture, options=options)}
        else:
            # as stream options, so that "-hls_time" does not set the key-frame interval
            target = {"format": "hls",
                      "url": os.path.join(channel_dir(out_root, n), "index.m3u8"),
                      "video": dict(picture, options=options + [
                          "-hls_time 2", "-hls_list_size 5", "-hls_flags delete_segments"])}
        target.update({"audio": sound, "mux": {"bitRate": 0, "cbr": False}})
        channels.append({
            "enable": True, "memo": f"soak {n:02d}",
            "input": {"sources": [source], "formatOptions": ["-f lavfi"],
                      "customOptions": "", "filters": [], "map": []},
            "output": {"targets": [target], "formatOptions": [], "customOptions": ""},
        })
    return {"name": "Soak run",
            "global": {"log": log_level, "httpPort": WEB_PORT, "sslEnable": False,
                       "ipACL": "", "autoRun": True, "autoRestart": auto_restart,
                       "loginPass": PASSWORD},
            "channels": channels}


# ----------------------------------------------------------------- poller

def parse_states(body):
    return "".join(STATE_LETTER.get(s, "?") for s in re.findall(r'"state":\s*"(\w+)"', body))


def poll_status(url, cookie, period, deadline, out_path):
    """Runs in a process of its own: GET /status every period seconds on one
    kept-alive connection until deadline (monotonic), one line per answer:
    send time, latency in ms, HTTP status (-1: no answer), channel states."""
    host, port = url.split("//", 1)[1].rstrip("/").split(":")
    conn = None
    with open(out_path, "w") as out:
        slot = time.monotonic()
        while slot < deadline:
            delay = slot - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            sent = time.monotonic()
            status, states = -1, ""
            for attempt in (0, 1):   # once more on a fresh connection
                try:
                    if conn is None:
                        conn = http.client.HTTPConnection(host, int(port), timeout=5)
                    conn.request("GET", "/status", headers={"Cookie": cookie})
                    resp = conn.getresponse()
                    body = resp.read().decode(errors="replace")
                    status, states = resp.status, parse_states(body)
                    if resp.getheader("Connection", "").lower() == "close":
                        conn.close()
                        conn = None
                    break
                except (OSError, http.client.HTTPException):
                    if conn is not None:
                        conn.close()
                    conn = None
            got = time.monotonic()
            out.write(f"{sent:.6f} {(got - sent) * 1000:.3f} {status} {states or '-'}\n")
            # the next slot on the grid; slots an answer overran are missed
            slot += period
            if slot < got:
                slot += period * int((got - slot) / period + 1)


SLEEP_LOOP_C = r"""
/* 20 ms sleeps until the given CLOCK_MONOTONIC second, then prints the CPU
   share they took, in per cent of one core */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
static double mono(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}
int main(int argc, char **argv)
{
    double deadline = argc > 1 ? atof(argv[1]) : 0, t0 = mono();
    while (mono() < deadline)
        usleep(20000);
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    double cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec
                 + ru.ru_stime.tv_usec / 1e6;
    printf("%.3f\n", cpu / (mono() - t0) * 100);
    return 0;
}
"""


def build_sleep_loop(folder):
    """Compiles the bare loop of 20 ms sleeps, as the daemon's loop sleeps: the
    floor under the daemon's own figure on this machine.  None without cc."""
    src, exe = os.path.join(folder, "sleep_loop.c"), os.path.join(folder, "sleep_loop")
    with open(src, "w") as f:
        f.write(SLEEP_LOOP_C)
    try:
        subprocess.run(["cc", "-O2", "-o", exe, src], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return exe


def read_polls(path):
    polls = []
    with open(path) as f:
        for line in f:
            t, lat, status, states = line.split()
            polls.append((float(t), float(lat), int(status), "" if states == "-" else states))
    return polls


def status_once(url, cookie):
    host, port = url.split("//", 1)[1].rstrip("/").split(":")
    conn = http.client.HTTPConnection(host, int(port), timeout=5)
    try:
        conn.request("GET", "/status", headers={"Cookie": cookie})
        resp = conn.getresponse()
        return resp.status, resp.read().decode(errors="replace")
    finally:
        conn.close()


# ---------------------------------------------------------------- outputs

class UdpReceivers:
    """One loopback socket per channel's UDP target, drained at each sample."""

    def __init__(self, n):
        self.socks, self.bytes = [], [0] * n
        for ch in filter(sends_udp, range(n)):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
            s.bind(("127.0.0.1", UDP_BASE_PORT + ch + 1))
            s.setblocking(False)
            self.socks.append((ch, s))

    def drain(self):
        for ch, s in self.socks:
            try:
                while True:
                    self.bytes[ch] += len(s.recv(65536))
            except BlockingIOError:
                pass


def hls_stale(out_root, n):
    """Channels whose HLS playlist was not rewritten in the last HLS_FRESH s."""
    stale = []
    for ch in range(n):
        if sends_udp(ch):
            continue
        try:
            age = time.time() - os.stat(os.path.join(channel_dir(out_root, ch + 1), "index.m3u8")).st_mtime
        except OSError:
            age = float("inf")
        if age > HLS_FRESH:
            stale.append(ch + 1)
    return stale


def log_bytes():
    try:
        return sum(e.stat().st_size for e in os.scandir(LOG_DIR) if e.is_file())
    except OSError:
        return -1


# ---------------------------------------------------------------- tracker

class Tracker:
    """Everything sampled from /proc during the run."""

    def __init__(self, daemon, run_id):
        self.daemon = daemon
        self.tag = re.compile(re.escape(run_id) + r"-ch(\d\d)\b")
        self.cpu = {}          # (pid, start) of a transcoder or ffmpeg -> [first, last ticks]
        self.channel_of = {}   # (pid, start) of a daemon child -> channel index
        self.zombies = {}      # (pid, start) -> number of samples it was seen in
        self.lost = {}         # (pid, start) -> command line of one no longer below the daemon
        self.duplicates = 0    # samples in which a channel had two live ffmpeg
        self.samples = []      # (t, rss kB, fds, threads)
        self.t0 = None

    def channel(self, pid):
        """Channel index of a child of the daemon, from its own command line
        or one of its children's (the stand-in keeps ffmpeg as its child)."""
        for p in [pid] + descendants(pid):
            m = self.tag.search(read_cmdline(p))
            if m:
                return int(m.group(1)) - 1
        return None

    def running(self):
        """channel index -> pid of its live transcoder (a child of the daemon)."""
        out = {}
        for pid in children(self.daemon):
            st = read_stat(pid)
            if not st or st[0] == "Z":
                continue
            key = (pid, st[4])
            if key not in self.channel_of:
                ch = self.channel(pid)
                if ch is None:
                    continue
                self.channel_of[key] = ch
            out[self.channel_of[key]] = pid
        return out

    def daemon_figures(self):
        st = read_stat(self.daemon)
        return {"ticks": st[2] if st else -1, "threads": st[3] if st else -1,
                "rss_kb": rss_kb(self.daemon), "fds": fd_count(self.daemon)}

    def sample(self, now, first=False):
        per_channel = {}
        for pid in descendants(self.daemon):
            st = read_stat(pid)
            if not st:
                continue
            key = (pid, st[4])
            if st[0] == "Z":
                self.zombies[key] = self.zombies.get(key, 0) + 1
                continue
            if key in self.cpu:
                self.cpu[key][1] = st[2]
            else:
                # present at the start: counted from here; born later: from 0
                self.cpu[key] = [st[2] if first else 0, st[2]]
            if "ffmpeg" in read_cmdline(pid).split(" ", 1)[0]:
                m = self.tag.search(read_cmdline(pid))
                if m:
                    per_channel[m.group(1)] = per_channel.get(m.group(1), 0) + 1
        if any(v > 1 for v in per_channel.values()):
            self.duplicates += 1
        f = self.daemon_figures()
        self.samples.append((now, f["rss_kb"], f["fds"], f["threads"]))

    def scan_lost(self):
        """Processes of the channels' command lines that are not below the daemon."""
        below = set(descendants(self.daemon))
        for name in os.listdir("/proc"):
            if not name.isdigit() or int(name) in below or int(name) == os.getpid():
                continue
            cmd = read_cmdline(name)
            if self.tag.search(cmd):
                st = read_stat(name)
                if st and st[0] != "Z":
                    self.lost[(int(name), st[4])] = cmd[:200]

    def transcoder_ticks(self):
        return sum(last - first for first, last in self.cpu.values())


def lost_after(run_id):
    """Processes left, after the daemon has ended, that belong to the run."""
    tag = re.compile(re.escape(run_id) + r"-ch\d\d\b")
    left = []
    for name in os.listdir("/proc"):
        if name.isdigit() and tag.search(read_cmdline(name)):
            st = read_stat(name)
            if st and st[0] != "Z":
                left.append(f"{name}: {read_cmdline(name)[:120]}")
    return left


# -------------------------------------------------------------- the run

def wait_all_running(url, cookie, n, timeout):
    end = time.monotonic() + timeout
    states = ""
    while time.monotonic() < end:
        try:
            status, body = status_once(url, cookie)
            states = parse_states(body)
            if status == 200 and states == "r" * n:
                return True, states
            states = f"HTTP {status}, states '{states}', answer {body[:300]!r}"
        except (OSError, http.client.HTTPException) as e:
            states = str(e)
        time.sleep(0.2)
    return False, states


def inner(args):
    """The measuring part, run inside the namespaces with the daemon started."""
    out_root = os.path.join(args.scratch, "out")
    report = {"duration_s": args.duration, "channels": args.channels, "quiet": args.quiet,
              "kill_every_s": args.kill_every, "auto_restart_s": args.auto_restart,
              "poll_ms": args.poll_ms, "load_average_start": load_average()}
    report_path = os.path.join(args.scratch, "report.json")

    def fail(why):
        report["error"] = why
        if os.environ.get("TOVU_DAEMON_OUT"):
            shutil.copy(os.environ["TOVU_DAEMON_OUT"], os.path.join(args.scratch, "daemon.out"))
        with open(report_path, "w") as f:
            json.dump(report, f, indent=1)
        print(f"soak: {why}", file=sys.stderr)
        return 2

    daemon = args.daemon_pid or find_daemon()
    if not daemon:
        return fail("no running daemon found")
    try:
        udp = UdpReceivers(args.channels)
    except OSError as e:
        return fail(f"UDP receivers: {e}")
    cookie = f"auth={PASSWORD}"
    ok, states = wait_all_running(args.url, cookie, args.channels, START_TIMEOUT)
    if not ok:
        return fail(f"not every channel runs after {START_TIMEOUT:.0f} s: {states}")
    time.sleep(WARM_UP)

    tr = Tracker(daemon, os.path.basename(args.scratch))
    polls_path = os.path.join(args.scratch, "polls.txt")
    # the start figures once the poller's connection is open
    t0 = time.monotonic() + POLLER_LEAD
    deadline = t0 + args.duration
    poller = multiprocessing.Process(
        target=poll_status, args=(args.url, cookie, args.poll_ms / 1000.0, deadline, polls_path))
    poller.start()
    floor_path = os.path.join(args.scratch, "sleep_loop.txt")
    floor_exe = build_sleep_loop(args.scratch)
    floor = None
    if floor_exe:
        # time.monotonic() is CLOCK_MONOTONIC on Linux, as in the loop
        with open(floor_path, "w") as out:
            floor = subprocess.Popen([floor_exe, f"{deadline:.6f}"], stdout=out)
    time.sleep(max(0.0, t0 - time.monotonic()))
    start = tr.daemon_figures()
    logs_start = log_bytes()
    udp.drain()
    udp.bytes = [0] * args.channels
    tr.sample(t0, first=True)
    tr.scan_lost()

    kills, watch = [], None
    order = list(range(args.channels))
    next_pick = 0
    next_sample = t0 + SAMPLE_EVERY
    next_scan = t0 + ORPHAN_SCAN_EVERY
    next_kill = float("inf") if args.quiet else t0 + args.kill_every
    while True:
        now = time.monotonic()
        if now >= deadline:
            break
        if watch:
            kids = set(children(daemon))
            k = watch["kill"]
            if k["reaped_s"] is None and k["pid"] not in kids:
                k["reaped_s"] = now - watch["t"]
            new = [p for p in kids - watch["before"]
                   if read_stat(p) and read_stat(p)[0] != "Z"]
            if new and k["new_pid"] is None:
                k["new_pid"], k["back_proc_s"] = new[0], now - watch["t"]
                # its start time, in clock ticks since boot, is when it was
                # forked, however late this loop saw it
                st = read_stat(new[0])
                if st:
                    k["back_fork_s"] = round(st[4] / CLK_TCK - watch["boot"], 3)
            if k["new_pid"] is not None and k["new_channel"] is None:
                # known once the stand-in has started its ffmpeg
                k["new_channel"] = tr.channel(k["new_pid"])
            if k["new_channel"] is not None and k["reaped_s"] is not None:
                watch = None
            elif now > watch["t"] + args.auto_restart + 5:
                watch = None
        if now >= next_kill and not watch and now + args.auto_restart + KILL_TAIL >= deadline:
            next_kill = float("inf")     # its restart would fall after the end
        if now >= next_kill and not watch:
            next_kill += args.kill_every
            running = tr.running()
            for _ in order:
                ch = order[next_pick % len(order)]
                next_pick += 1
                if ch in running:
                    break
            else:
                ch = None
            if ch is None:
                kills.append({"t_s": now - t0, "channel": None})
            else:
                before = set(children(daemon))
                t = time.monotonic()
                boot = time.clock_gettime(time.CLOCK_BOOTTIME)
                os.kill(running[ch], signal.SIGKILL)
                k = {"t_s": t - t0, "t": t, "channel": ch, "pid": running[ch],
                     "reaped_s": None, "new_pid": None, "back_proc_s": None,
                     "back_fork_s": None, "new_channel": None}
                kills.append(k)
                watch = {"kill": k, "t": t, "boot": boot, "before": before}
        if now >= next_sample:
            tr.sample(now)
            udp.drain()
            next_sample += SAMPLE_EVERY
        if now >= next_scan:
            tr.scan_lost()
            next_scan += ORPHAN_SCAN_EVERY
        wake = min(next_sample, next_scan, next_kill, deadline)
        time.sleep(WATCH_TICK if watch else max(0.0, min(wake - time.monotonic(), 0.1)))

    t_end = time.monotonic()
    tr.sample(t_end)
    end = tr.daemon_figures()
    udp.drain()
    logs_end = log_bytes()
    stale = hls_stale(out_root, args.channels)
    tr.scan_lost()
    poller.join(timeout=30)
    if floor:
        try:
            floor.wait(timeout=30)
        except subprocess.TimeoutExpired:
            floor.kill()
            floor.wait()
    try:
        with open(floor_path) as f:
            report["sleep_loop_cpu_pct_of_core"] = float(f.read())
    except (OSError, ValueError):
        report["sleep_loop_cpu_pct_of_core"] = None
    final_zombies = [p for p in descendants(daemon) if (read_stat(p) or "?")[0] == "Z"]
    if os.environ.get("TOVU_DAEMON_OUT"):
        shutil.copy(os.environ["TOVU_DAEMON_OUT"], os.path.join(args.scratch, "daemon.out"))

    wall = t_end - t0
    polls = read_polls(polls_path)
    report.update(analyse(args, polls, kills, t0))
    daemon_cpu = round((end["ticks"] - start["ticks"]) / CLK_TCK / wall * 100, 3)
    floor_cpu = report["sleep_loop_cpu_pct_of_core"]
    report.update({
        "wall_s": round(wall, 1),
        "daemon_cpu_excess_pct_of_core": (round(daemon_cpu - floor_cpu, 3)
                                          if floor_cpu is not None else None),
        "load_average_end": load_average(),
        "daemon_cpu_pct_of_core": daemon_cpu,
        "transcoders_cpu_pct_of_core": round(tr.transcoder_ticks() / CLK_TCK / wall * 100, 1),
        "daemon_start": {k: start[k] for k in ("rss_kb", "fds", "threads")},
        "daemon_end": {k: end[k] for k in ("rss_kb", "fds", "threads")},
        "rss_kb_steady_start_end": steady(tr.samples, 1),
        "fds_steady_start_end": steady(tr.samples, 2),
        "rss_kb_per_min_second_half": slope(tr.samples[len(tr.samples) // 2:], 1),
        "series_t_rss_fds_threads": [[round(t - t0, 1), a, b, c] for t, a, b, c in tr.samples],
        "rss_kb_min_max": [min(s[1] for s in tr.samples), max(s[1] for s in tr.samples)],
        "fds_min_max": [min(s[2] for s in tr.samples), max(s[2] for s in tr.samples)],
        "threads_min_max": [min(s[3] for s in tr.samples), max(s[3] for s in tr.samples)],
        "zombies_seen": len(tr.zombies),
        "zombies_lingering": sum(1 for n in tr.zombies.values() if n > 1),
        "zombies_at_end": len(final_zombies),
        "lost_transcoders": sorted(tr.lost.values()),
        "samples_with_two_ffmpeg_of_a_channel": tr.duplicates,
        "udp_kbit_s_per_channel": {ch + 1: round(udp.bytes[ch] * 8 / wall / 1000)
                                   for ch in range(args.channels) if sends_udp(ch)},
        "hls_stale_channels": stale,
        "channel_logs_kb_start_end": [logs_start // 1024, logs_end // 1024],
    })
    for k in kills:
        k.pop("t", None)
    report["kills"] = kills
    with open(report_path, "w") as f:
        json.dump(report, f, indent=1)
    return 0


def steady(samples, i):
    """Medians of field i over the first and the last STEADY_SAMPLES samples:
    a descriptor open for a moment (a restart under way) does not count."""
    def median(xs):
        xs = sorted(xs)
        return xs[len(xs) // 2] if xs else -1
    return [median([x[i] for x in samples[:STEADY_SAMPLES]]),
            median([x[i] for x in samples[-STEADY_SAMPLES:]])]


def slope(samples, i):
    """Least-squares growth of field i, per minute."""
    if len(samples) < 2:
        return 0.0
    ts = [x[0] for x in samples]
    ys = [x[i] for x in samples]
    mt, my = sum(ts) / len(ts), sum(ys) / len(ys)
    var = sum((t - mt) ** 2 for t in ts)
    return round(sum((t - mt) * (y - my) for t, y in zip(ts, ys)) / var * 60, 1) if var else 0.0


def analyse(args, polls, kills, t0):
    """Latency figures and the restarts seen in the "/status" answers."""
    answered = [p for p in polls if p[2] == 200]
    lat = sorted(p[1] for p in answered)
    span = (polls[-1][0] - polls[0][0]) if len(polls) > 1 else 0
    out = {"polls": len(polls), "polls_failed": len(polls) - len(answered),
           "polls_missed_slots": max(0, int(span / (args.poll_ms / 1000.0)) + 1 - len(polls)),
           "polls_wrong_rows": sum(1 for p in answered if len(p[3]) != args.channels)}
    if lat:
        out["latency_ms"] = {"max": lat[-1], "p99": lat[int(0.99 * (len(lat) - 1))],
                             "p50": lat[len(lat) // 2],
                             "mean": round(sum(lat) / len(lat), 3)}
    # restarts seen: a channel running again after a poll that showed it not running
    seen = [0] * args.channels
    prev = None
    for p in answered:
        if prev and len(p[3]) == len(prev) == args.channels:
            for i in range(args.channels):
                if prev[i] != "r" and p[3][i] == "r":
                    seen[i] += 1
        prev = p[3] if len(p[3]) == args.channels else prev
    out["restarts_seen_in_status"] = sum(seen)
    out["restarts_seen_per_channel"] = seen
    times = [p[0] for p in answered]
    for k in kills:
        ch = k.get("channel")
        if ch is None:
            continue
        i, down = bisect.bisect_left(times, k["t"]), None
        for p in answered[i:]:
            if len(p[3]) != args.channels:
                continue
            if down is None and p[3][ch] != "r":
                down = p
            elif down is not None and p[3][ch] == "r":
                # running again in this answer, not yet in the one before
                k["back_status_s"] = round(p[0] + p[1] / 1000.0 - k["t"], 3)
                break
            if p[0] > k["t"] + args.auto_restart + 10:
                break
    return out


# ------------------------------------------------------------------ report

def verdicts(r):
    limit = r["auto_restart_s"] + RESTART_SLACK
    done = [k for k in r["kills"] if k.get("channel") is not None]
    back = [k["back_fork_s"] if k.get("back_fork_s") is not None else k["back_proc_s"]
            for k in done if k.get("back_proc_s") is not None]
    wrong = [k for k in done if k.get("new_pid") and k.get("new_channel") not in (None, k["channel"])]
    rss = r["rss_kb_steady_start_end"]
    fds = r["fds_steady_start_end"]
    udp_rates = list(r["udp_kbit_s_per_channel"].values())
    excess = r.get("daemon_cpu_excess_pct_of_core")
    out = []
    if r["kills"]:
        # (a quiet run plans no kill: these targets do not apply to it)
        out += [
            ("every kill made", len(done) == len(r["kills"]),
             f"{len(done)} of {len(r['kills'])} planned"),
            (f"every killed channel back within {limit:.1f} s",
             len(back) == len(done) and all(b <= limit for b in back) and not wrong,
             f"{sum(1 for b in back if b <= limit)} of {len(done)}"
             + (f", {len(wrong)} restarted another channel" if wrong else "")),
        ]
    out += [
        ("restarts seen in /status = kills", r["restarts_seen_in_status"] == len(done),
         f"{r['restarts_seen_in_status']} seen, {len(done)} kills"),
        (f"daemon under {DAEMON_CPU_TARGET} % of one core",
         0 <= r["daemon_cpu_pct_of_core"] < DAEMON_CPU_TARGET, f"{r['daemon_cpu_pct_of_core']} %"),
    ]
    if r.get("quiet"):
        out.append((f"daemon under {EXCESS_CPU_TARGET} % of one core over the bare loop",
                    excess is not None and excess < EXCESS_CPU_TARGET,
                    f"{excess} %" if excess is not None else "bare loop not run (no cc?)"))
    return out + [
        ("descriptors flat", fds[1] <= fds[0], f"steady {fds[0]} -> {fds[1]}"),
        ("RSS flat", rss[1] - rss[0] <= RSS_FLAT_KB,
         f"steady {rss[0]} -> {rss[1]} kB, {r['rss_kb_per_min_second_half']} kB/min "
         "over the second half"),
        ("no zombie", r["zombies_lingering"] == 0 and r["zombies_at_end"] == 0,
         f"{r['zombies_lingering']} lingering, {r['zombies_at_end']} at the end, "
         f"{r['zombies_seen']} seen in passing"),
        ("no transcoder outside the daemon", not r["lost_transcoders"] and not r.get("left_after_stop"),
         f"{len(r['lost_transcoders'])} during the run, {len(r.get('left_after_stop', []))} after the stop"),
        ("every channel delivers UDP and HLS",
         all(b > 0 for b in udp_rates) and not r["hls_stale_channels"],
         f"UDP kbit/s {min(udp_rates, default=0)}..{max(udp_rates, default=0)}, "
         f"stale HLS {r['hls_stale_channels']}"),
        ("every poll answered", r["polls_failed"] == 0 and r["polls_wrong_rows"] == 0,
         f"{r['polls_failed']} failed, {r['polls_wrong_rows']} with wrong rows"),
    ]


def print_report(r):
    if "error" in r:
        print(f"soak run failed: {r['error']}")
        return
    lat = r.get("latency_ms", {})
    done = [k for k in r["kills"] if k.get("channel") is not None]
    back = sorted(k["back_proc_s"] for k in done if k.get("back_proc_s") is not None)
    forked = sorted(k["back_fork_s"] for k in done if k.get("back_fork_s") is not None)
    back_st = sorted(k["back_status_s"] for k in done if k.get("back_status_s") is not None)
    reaped = sorted(k["reaped_s"] for k in done if k.get("reaped_s") is not None)
    kills_text = "no kills (quiet)" if r.get("quiet") else f"a kill every {r['kill_every_s']} s"
    print(f"soak: {r['wall_s']} s, {r['channels']} channels, {kills_text}, "
          f"autoRestart {r['auto_restart_s']} s, /status every {r['poll_ms']} ms")
    print(f"  machine load average: {r['load_average_start']} at the start, {r['load_average_end']} at the end")
    print(f"  kills: {len(done)}; restarts seen in /status: {r['restarts_seen_in_status']} "
          f"(per channel {r['restarts_seen_per_channel']})")
    if forked:
        print(f"  back (new transcoder forked, its start time, 10 ms ticks): min {forked[0]:.3f} "
              f"max {forked[-1]:.3f} s")
    if back:
        print(f"  back (new transcoder seen by this script, 5 ms ticks): min {back[0]:.3f} "
              f"max {back[-1]:.3f} s")
    if back_st:
        print(f"  back (running again in /status, to the answer, +0..{r['poll_ms']} ms polling): "
              f"min {back_st[0]:.3f} max {back_st[-1]:.3f} s")
    if reaped:
        print(f"  killed transcoder reaped by the daemon after: max {reaped[-1] * 1000:.0f} ms")
    print(f"  CPU, % of one core: daemon {r['daemon_cpu_pct_of_core']}, "
          f"its transcoders and ffmpeg {r['transcoders_cpu_pct_of_core']}; a bare C loop of "
          f"{LOOP_PERIOD * 1000:.0f} ms sleeps took {r.get('sleep_loop_cpu_pct_of_core')} "
          f"on this machine meanwhile; the daemon's excess over it "
          f"{r.get('daemon_cpu_excess_pct_of_core')}")
    for what, key in (("RSS kB", "rss_kb"), ("descriptors", "fds"), ("threads", "threads")):
        print(f"  {what}: {r['daemon_start'][key]} at the start, {r['daemon_end'][key]} at the end "
              f"(range {r[key + '_min_max'][0]}..{r[key + '_min_max'][1]})")
    logs = r["channel_logs_kb_start_end"]
    print(f"  outputs: UDP kbit/s by channel {r['udp_kbit_s_per_channel']}; "
          f"HLS playlists not rewritten in {HLS_FRESH:.0f} s: {r['hls_stale_channels']}; "
          f"channel logs {logs[0]} -> {logs[1]} kB")
    print(f"  zombies: {r['zombies_lingering']} lingering, {r['zombies_at_end']} at the end, "
          f"{r['zombies_seen']} seen in passing")
    print(f"  /status: {r['polls']} polls, {r['polls_failed']} failed, {r['polls_missed_slots']} "
          f"slots missed; latency ms max {lat.get('max')} p99 {lat.get('p99')} "
          f"p50 {lat.get('p50')} mean {lat.get('mean')}")
    for what, ok, detail in verdicts(r):
        print(f"  [{'met' if ok else 'MISSED'}] {what}: {detail}")


def duration_arg(text):
    m = re.fullmatch(r"(\d+(?:\.\d+)?)([smh]?)", text.strip())
    if not m:
        raise argparse.ArgumentTypeError(f"not a duration: {text}")
    return float(m.group(1)) * {"": 1, "s": 1, "m": 60, "h": 3600}[m.group(2)]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("duration", nargs="?", type=duration_arg, default=300.0,
                    help="how long to run: seconds, or with s, m or h (default 5m)")
    ap.add_argument("--channels", type=int, default=16)
    ap.add_argument("--kill-every", type=float, default=10.0, help="seconds between kills")
    ap.add_argument("--auto-restart", type=int, default=1, help='global "autoRestart", seconds')
    ap.add_argument("--poll-ms", type=float, help="period of the /status poll (default 100, "
                    "with --quiet 1000)")
    ap.add_argument("--quiet", action="store_true",
                    help='no kills, "/status" once a second: the daemon\'s own cost')
    ap.add_argument("--log", type=int, default=32, help='global "log" level')
    ap.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"), help="the program's folder")
    ap.add_argument("--report", help="also write the report (JSON) to this file")
    ap.add_argument("--keep", action="store_true", help="keep the run's folder (logs, outputs)")
    ap.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--scratch", help=argparse.SUPPRESS)
    ap.add_argument("--daemon-pid", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--url", default=f"http://127.0.0.1:{WEB_PORT}", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.poll_ms is None:
        args.poll_ms = 1000.0 if args.quiet else 100.0
    if args.inner:
        return inner(args)

    if os.geteuid() != 0:
        print("soak: needs root (private namespaces)", file=sys.stderr)
        return 2
    for f in ("tovul", "tovul.so"):
        if not os.access(os.path.join(args.bin, f), os.X_OK):
            print(f"soak: {args.bin}/{f} missing; build first", file=sys.stderr)
            return 2
    scratch = tempfile.mkdtemp(prefix="tovu_soak_", dir="/tmp")
    out_root = os.path.join(scratch, "out")
    for d in ("etc", "var", "run"):
        os.makedirs(os.path.join(scratch, d))
    for n in range(2, args.channels + 1, 2):
        os.makedirs(channel_dir(out_root, n))
    with open(os.path.join(scratch, "etc", "tovul.json"), "w") as f:
        json.dump(make_config(args.channels, os.path.basename(scratch), out_root,
                              args.auto_restart, args.log), f, indent=1)

    cmd = [LAUNCHER, "--etc", f"{scratch}/etc", "--var", f"{scratch}/var", "--run", f"{scratch}/run",
           "--bin", args.bin, "--wait-port", "--", sys.executable, os.path.abspath(__file__),
           "--inner", "--scratch", scratch, str(args.duration),
           "--channels", str(args.channels), "--kill-every", str(args.kill_every),
           "--auto-restart", str(args.auto_restart), "--poll-ms", str(args.poll_ms)]
    if args.quiet:
        cmd.append("--quiet")
    rc = subprocess.call(cmd)
    try:
        with open(os.path.join(scratch, "report.json")) as f:
            r = json.load(f)
    except (OSError, ValueError):
        print(f"soak: no report (launcher status {rc}); the run's folder is {scratch}", file=sys.stderr)
        return 2
    # the launcher has stopped the daemon and waited for it: nothing of it may be left
    run_id = os.path.basename(scratch)
    left = lost_after(run_id)
    for _ in range(20):
        if not left:
            break
        time.sleep(0.1)
        left = lost_after(run_id)
    r["left_after_stop"] = left
    if args.report:
        with open(args.report, "w") as f:
            json.dump(r, f, indent=1)
    print_report(r)
    if args.keep or "error" in r:
        print(f"  the run's folder: {scratch}")
    else:
        shutil.rmtree(scratch, ignore_errors=True)
    if "error" in r:
        return 2
    return 0 if all(ok for _, ok, _ in verdicts(r)) else 1


if __name__ == "__main__":
    sys.exit(main())
