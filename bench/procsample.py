#!/usr/bin/env python3
"""bench/procsample.py: samples a server's resident memory, threads and open
descriptors from /proc while it is under load, and prints the peaks.

usage: procsample.py PID MAX_SECONDS [STOP_FILE]

Reads /proc/PID/status every 20 ms and counts /proc/PID/fd every 200 ms
(counting twenty thousand descriptors costs far more than reading the
status). Stops when the process ends, when STOP_FILE exists, or after
MAX_SECONDS, whichever comes first. Peak RSS is the kernel's own high-water
mark (VmHWM), so no peak is missed between samples."""
import os
import sys
import time

STATUS_EVERY = 0.02
FDS_EVERY = 0.2


def read_status(pid):
    """The fields of /proc/PID/status that matter here, in KiB or counts."""
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM", "Threads"):
                fields[key] = int(value.split()[0])
    return fields


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    pid = int(sys.argv[1])
    limit = min(float(sys.argv[2]), 3600.0)
    stop_file = sys.argv[3] if len(sys.argv) == 4 else None
    start = time.monotonic()
    first = None
    peak = {"rss": 0, "hwm": 0, "threads": 0, "fds": 0}
    next_fds = start
    samples = 0
    while time.monotonic() - start < limit:
        if stop_file and os.path.exists(stop_file):
            break
        try:
            st = read_status(pid)
            now = time.monotonic()
            fds = None
            if now >= next_fds:
                fds = len(os.listdir(f"/proc/{pid}/fd"))
                next_fds = now + FDS_EVERY
        except (FileNotFoundError, ProcessLookupError):
            break
        if first is None:
            first = dict(st)
        samples += 1
        peak["rss"] = max(peak["rss"], st["VmRSS"])
        peak["hwm"] = max(peak["hwm"], st["VmHWM"])
        peak["threads"] = max(peak["threads"], st["Threads"])
        if fds is not None:
            peak["fds"] = max(peak["fds"], fds)
        time.sleep(STATUS_EVERY)
    if first is None:
        sys.exit(f"procsample: no process {pid}")
    print(f"procsample: pid {pid}, {samples} samples: RSS at start {first['VmRSS']} KiB, "
          f"peak {peak['hwm']} KiB; peak threads {peak['threads']}; peak descriptors {peak['fds']}")
    print(f"RESULT mode=procsample rss_start_kib={first['VmRSS']} rss_peak_kib={peak['hwm']} "
          f"threads_peak={peak['threads']} fds_peak={peak['fds']} samples={samples}")


if __name__ == "__main__":
    main()
