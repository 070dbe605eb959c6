#!/usr/bin/python3
"""Runs one command for scripts/bench-update and times it from outside.

  timed_run.py OUT_JSON [--mark NAME PREFIX]... -- COMMAND...

Reads the command's standard output line by line as it arrives and notes the
time of the first line starting with each PREFIX (the driver prints one line
per worker message the moment it gets it, so these are the times of the
pass's steps). Also notes the wall time and the peak resident set of the
command's process: the kernel's ru_maxrss of the waited-for child (what
`/usr/bin/time -v` prints as "Maximum resident set size") and the highest
VmHWM read from /proc while it ran; and its processor time (user and
system), which the load of other work moves far less than the wall time.
Under Wine the Windows program runs in that very process (the loader execs
into it); the wineserver, started before, is not counted. Writes a JSON
record to OUT_JSON; the output itself is kept beside it (OUT_JSON with .out).
"""

import json
import os
import subprocess
import sys
import threading
import time


def main():
    args = sys.argv[1:]
    out_json = args.pop(0)
    marks = []
    while args and args[0] == "--mark":
        marks.append((args[1], args[2]))
        args = args[3:]
    if not args or args[0] != "--":
        sys.exit(__doc__)
    command = args[1:]

    start = time.monotonic()
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
    times = {}
    last = ""
    with open(out_json + ".out", "wb") as keep:
        for raw in proc.stdout:
            now = time.monotonic() - start
            keep.write(raw)
            line = raw.decode("utf-8", "replace").rstrip("\n")
            if line:
                last = line
            for name, prefix in marks:
                if name not in times and line.startswith(prefix):
                    times[name] = now
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    done.set()
    poller.join()
    record = {
        "wall": wall,
        "code": os.waitstatus_to_exitcode(status),
        "marks": times,
        "maxrss_kib": usage.ru_maxrss,
        "cpu": usage.ru_utime + usage.ru_stime,
        "vmhwm_kib": hwm[0],
        "last": last,
    }
    with open(out_json, "w") as f:
        json.dump(record, f)


if __name__ == "__main__":
    main()
