#!/usr/bin/python3
"""Runs one command for the benchmark scripts and times it from outside.

  timed_run.py OUT_JSON [--mark NAME PREFIX]... [--prefix-cpu WINEPREFIX] -- COMMAND...

Reads the command's standard output line by line as it arrives and notes the
time of the first line starting with each PREFIX (the driver prints one line
per worker message the moment it gets it, so these are the times of the
pass's steps). Also notes the wall time and the peak resident set of the
command's process: the kernel's ru_maxrss of the waited-for child (what
`/usr/bin/time -v` prints as "Maximum resident set size") and the highest
VmHWM read from /proc while it ran; and its processor time ("cpu": user and
system), which the load of other work moves far less than the wall time.
Under Wine the Windows program runs in that very process (the loader execs
into it); the wineserver, started before, is not counted in those.

--prefix-cpu adds the processor time (user + system, seconds) the command
cost to the record: "cpu_self", the command's own and that of every process
it started (timed_run is their subreaper and waits up to 5 s for those left
to it),
and what the Wine prefix's long-lived processes spent while it ran, read
from /proc/PID/stat before and after: "cpu_server" (the Wine server) and
"cpu_others" (the prefix's services). The command's output then goes into
the .out file directly, not through a pipe (a Wine program writing into a
pipe that Python reads runs slower), and the marks are taken by reading that
file every 5 ms.

Writes a JSON record to OUT_JSON; the output itself is kept beside it
(OUT_JSON with .out).
"""

import ctypes
import json
import os
import resource
import subprocess
import sys
import threading
import time

PR_SET_CHILD_SUBREAPER = 36
TAIL_POLL_S = 0.005
LEFT_BEHIND_WAIT_S = 5.0


def prefix_times(prefix):
    """{(pid, start): (name, seconds)} of every process of the Wine prefix."""
    tick = os.sysconf("SC_CLK_TCK")
    wanted = b"WINEPREFIX=" + os.fsencode(prefix) + b"\0"
    found = {}
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if wanted not in b"\0" + f.read():
                    continue
            with open("/proc/%s/stat" % pid, "rb") as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.index(b"(") + 1:stat.rindex(b")")].decode("utf-8", "replace")
        fields = stat[stat.rindex(b")") + 2:].split()
        # utime and stime are fields 14 and 15 of stat, the start time 22.
        found[(pid, fields[19])] = (name, (int(fields[11]) + int(fields[12])) / tick)
    return found


def prefix_spent(before, after):
    """Seconds the prefix's processes spent between the two readings: the
    Wine server's and the others'. A process that appeared meanwhile counts
    whole."""
    server = others = 0.0
    for key, (name, seconds) in after.items():
        spent = seconds - before.get(key, (name, 0.0))[1]
        if name.startswith("wineserver"):
            server += spent
        else:
            others += spent
    return server, others


class Marks:
    """The time of the first line starting with each mark's prefix."""

    def __init__(self, marks, start):
        self.marks, self.start, self.times, self.last = marks, start, {}, ""

    def line(self, raw, now):
        line = raw.decode("utf-8", "replace").rstrip("\n")
        if line:
            self.last = line
        for name, prefix in self.marks:
            if name not in self.times and line.startswith(prefix):
                self.times[name] = now - self.start


def read_pipe(proc, keep_path, marks):
    with open(keep_path, "wb") as keep:
        for raw in proc.stdout:
            now = time.monotonic()
            keep.write(raw)
            marks.line(raw, now)


def tail_file(path, marks, done):
    """Reads the lines the command writes into `path` until `done` is set and
    nothing more is there."""
    pending = b""
    with open(path, "rb") as f:
        while True:
            finished = done.is_set()
            chunk = f.read()
            now = time.monotonic()
            if chunk:
                pending += chunk
                *lines, pending = pending.split(b"\n")
                for raw in lines:
                    marks.line(raw + b"\n", now)
            elif finished:
                break
            else:
                done.wait(TAIL_POLL_S)
    if pending:
        marks.line(pending, time.monotonic())


def main():
    args = sys.argv[1:]
    out_json = args.pop(0)
    marks = []
    prefix = None
    while args and args[0] in ("--mark", "--prefix-cpu"):
        if args[0] == "--mark":
            marks.append((args[1], args[2]))
            args = args[3:]
        else:
            prefix = args[1]
            args = args[2:]
    if not args or args[0] != "--":
        sys.exit(__doc__)
    command = args[1:]
    keep_path = out_json + ".out"

    if prefix:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        before_prefix = prefix_times(prefix)
        before_children = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    found = Marks(marks, start)
    if prefix:
        keep = open(keep_path, "wb")
        proc = subprocess.Popen(command, stdout=keep, stdin=subprocess.DEVNULL)
        keep.close()
    else:
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    hwm = [0]
    done = threading.Event()

    def poll():
        path = "/proc/%d/status" % proc.pid
        while not done.is_set():
            try:
                with open(path) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            hwm[0] = max(hwm[0], int(line.split()[1]))
            except (OSError, ValueError):
                pass
            done.wait(0.02)

    poller = threading.Thread(target=poll, daemon=True)
    poller.start()
    if prefix:
        tailer = threading.Thread(target=tail_file, args=(keep_path, found, done))
        tailer.start()
    else:
        read_pipe(proc, keep_path, found)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    done.set()
    poller.join()
    record = {
        "wall": wall,
        "code": os.waitstatus_to_exitcode(status),
        "marks": found.times,
        "maxrss_kib": usage.ru_maxrss,
        "cpu": usage.ru_utime + usage.ru_stime,
        "vmhwm_kib": hwm[0],
        "last": found.last,
    }
    if prefix:
        tailer.join()
        # Processes the command left behind were handed to us: wait a while
        # for them (one still running then counts whole as the prefix's).
        give_up = time.monotonic() + LEFT_BEHIND_WAIT_S
        while time.monotonic() < give_up:
            try:
                if os.waitpid(-1, os.WNOHANG) == (0, 0):
                    time.sleep(TAIL_POLL_S)
            except ChildProcessError:
                break
        after_children = resource.getrusage(resource.RUSAGE_CHILDREN)
        server, others = prefix_spent(before_prefix, prefix_times(prefix))
        record["cpu_self"] = (after_children.ru_utime - before_children.ru_utime +
                              after_children.ru_stime - before_children.ru_stime)
        record["cpu_server"] = server
        record["cpu_others"] = others
    with open(out_json, "w") as f:
        json.dump(record, f)


if __name__ == "__main__":
    main()
