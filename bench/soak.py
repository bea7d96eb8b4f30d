#!/usr/bin/env python3
"""bench/soak.py: the soak's helpers, which bash cannot play.

  soak.py sample PID STOP_FILE MAX_SECONDS
      prints "t rss_kib threads fds" every half second until STOP_FILE
      exists, the process ends or MAX_SECONDS pass.
  soak.py peers PORT NOTIFY_PORT COUNT SILENT SPREAD_SECONDS
      hostile peers, COUNT in all, spread over SPREAD_SECONDS: peers that
      reset at once, peers that send garbage (to either port) and go, and
      SILENT peers opened first that send nothing and wait (up to 75 s
      more) for the server to drop them. Prints what it did.
  soak.py settle PID THREADS FDS MAX_SECONDS
      waits until the process is back to its idle threads and descriptors.
  soak.py report SAMPLES LOAD_START LOAD_END
      the RSS slope after warm-up (the first fifth of the load), the peaks,
      and the values at the end.
Every loop is bounded in count and time; traffic goes to loopback only."""
import os
import random
import socket
import struct
import sys
import time


def status(pid):
    rss = threads = -1
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, threads, len(os.listdir("/proc/%d/fd" % pid))


def sample(pid, stop, limit):
    start = time.time()
    while time.time() - start < limit and not os.path.exists(stop):
        try:
            rss, threads, fds = status(pid)
        except OSError:
            break
        print("%.2f %d %d %d" % (time.time(), rss, threads, fds), flush=True)
        time.sleep(0.5)


def peers(port, notify_port, count, silent, spread):
    limit = spread + 75
    rng = random.Random(1413)
    start = time.monotonic()
    held = []
    for _ in range(silent):
        s = socket.socket()
        s.bind(("127.0.0.%d" % (100 + len(held) % 50), 0))
        s.connect(("127.0.0.1", port))
        held.append(s)
    done = {"reset": 0, "garbage": 0, "garbage_records": 0, "errors": 0}
    pace = spread / max(count, 1)
    for i in range(count):
        if time.monotonic() - start > limit:
            break
        kind = i % 3
        try:
            s = socket.socket()
            s.settimeout(5)
            s.bind(("127.0.0.%d" % (150 + i % 50), 0))
            if kind == 0:
                s.connect(("127.0.0.1", port))
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                done["reset"] += 1
            elif kind == 1:
                s.connect(("127.0.0.1", port))
                s.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 1500))))
                done["garbage"] += 1
            else:
                # Any kind but the two records: a garbage Connect or Quit
                # would change the nodes the queries ask about.
                kind_byte = rng.choice([b for b in range(256) if b not in b"CQ"])
                s.connect(("127.0.0.1", notify_port))
                s.sendall(bytes([kind_byte] + [rng.randrange(256) for _ in range(rng.randrange(0, 300))]))
                done["garbage_records"] += 1
            s.close()
        except OSError:
            done["errors"] += 1
        time.sleep(pace)
    # The silent peers are dropped by the server after its idle time.
    dropped = 0
    for s in held:
        s.settimeout(max(0.1, limit - (time.monotonic() - start)))
        try:
            if s.recv(16) == b"":
                dropped += 1
        except OSError:
            pass
        s.close()
    print("peers %s silent=%d silent_dropped=%d seconds=%.0f" % (
        " ".join("%s=%d" % kv for kv in done.items()), silent, dropped, time.monotonic() - start))


def settle(pid, threads, fds, limit):
    start = time.monotonic()
    while time.monotonic() - start < limit:
        _, t, f = status(pid)
        if t <= threads and f <= fds:
            print("settled after %.1f s: threads=%d fds=%d" % (time.monotonic() - start, t, f))
            return 0
        time.sleep(0.5)
    _, t, f = status(pid)
    print("not settled after %.0f s: threads=%d (idle %d) fds=%d (idle %d)" % (limit, t, threads, f, fds))
    return 1


def report(path, load_start, load_end):
    rows = [tuple(float(x) for x in line.split()) for line in open(path) if line.strip()]
    warm = load_start + (load_end - load_start) / 5
    pts = [(t, rss) for t, rss, _, _ in rows if warm <= t <= load_end]
    slope = 0.0
    if len(pts) >= 2:
        mt = sum(t for t, _ in pts) / len(pts)
        mr = sum(r for _, r in pts) / len(pts)
        var = sum((t - mt) ** 2 for t, _ in pts)
        slope = sum((t - mt) * (r - mr) for t, r in pts) / var if var else 0.0
    first = min(pts)[1] if pts else -1
    last = max(pts)[1] if pts else -1
    print("RESULT mode=soak rss_slope_kib_per_min=%.1f rss_after_warmup_kib=%d rss_load_end_kib=%d "
          "rss_final_kib=%d rss_peak_kib=%d threads_peak=%d fds_peak=%d threads_final=%d fds_final=%d "
          "samples=%d" % (slope * 60, first, last, rows[-1][1], max(r[1] for r in rows),
                          max(r[2] for r in rows), max(r[3] for r in rows), rows[-1][2], rows[-1][3], len(rows)))


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "sample":
        sample(int(args[0]), args[1], float(args[2]))
    elif cmd == "peers":
        peers(int(args[0]), int(args[1]), int(args[2]), int(args[3]), float(args[4]))
    elif cmd == "settle":
        sys.exit(settle(int(args[0]), int(args[1]), int(args[2]), float(args[3])))
    elif cmd == "report":
        report(args[0], float(args[1]), float(args[2]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
