"""tests/fault/peers.py: the peers of the fault scenarios, which bash cannot
play: exact bytes, precise timing, many connections held at once, and the
CPU time a process spends meanwhile. Every wait here is bounded."""
import fcntl
import os
import resource
import select
import socket
import sys
import time

F_SETPIPE_SZ = 1031


def exchange(port, payload, timeout):
    """Connects, sends payload (may be empty), reads until the peer closes or
    timeout passes. Prints the reply's bytes escaped, whether the peer
    closed, and the seconds from connect to close (or to the timeout)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    start = time.monotonic()
    if payload:
        s.sendall(payload)
    got, closed = b"", False
    while time.monotonic() - start < timeout:
        r, _, _ = select.select([s], [], [], max(0.0, timeout - (time.monotonic() - start)))
        if not r:
            break
        try:
            chunk = s.recv(4096)
        except ConnectionResetError:
            closed = True
            break
        if not chunk:
            closed = True
            break
        got += chunk
    s.close()
    print("reply=%r closed=%d seconds=%.2f" % (got, closed, time.monotonic() - start))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime, fields 14 and 15 of the whole line.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def threads(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return -1


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def watch(pid, seconds):
    """CPU seconds the process uses over the next seconds, and its threads."""
    before = cpu_seconds(pid)
    time.sleep(seconds)
    print("cpu=%.2f threads=%d" % (cpu_seconds(pid) - before, threads(pid)))


def outage(pid, port, count, seconds):
    """Opens count IDENT connections that send nothing, more than the
    process has descriptors for, and holds them while more keep arriving.
    Reports the process's descriptors, threads and CPU time during the
    outage, then lets every connection go."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    held = []
    deadline = time.monotonic() + 20
    while len(held) < count and time.monotonic() < deadline:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        held.append(s)
        time.sleep(0.005)
    # The handlers accepted so far sit out their 2 s wait and then wait for
    # a query that never comes: the process stays at its limit.
    time.sleep(3)
    fds = descriptors(pid)
    before = cpu_seconds(pid)
    # More connections keep arriving while the process is at its limit.
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        held.append(s)
        time.sleep(0.05)
    cpu = cpu_seconds(pid) - before
    print("held=%d fds=%d threads=%d cpu=%.2f" % (len(held), fds, threads(pid), cpu))
    for s in held:
        s.close()


def stall(seconds):
    """Holds standard input, a pipe, shrunk to one page, and never reads it:
    the writer at the other end stalls once the page is full."""
    fcntl.fcntl(0, F_SETPIPE_SZ, 4096)
    time.sleep(seconds)


def flood(source, host, port, count):
    """Opens count connections from source to host:port one after another,
    each until the peer closes it. Prints how many were closed."""
    closed = 0
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(5)
        s.bind((source, 0))
        s.connect((host, port))
        try:
            if s.recv(1) == b"":
                closed += 1
        except ConnectionResetError:
            closed += 1
        except socket.timeout:
            pass
        s.close()
    print("closed=%d" % closed)


def quits(port, count):
    """Sends count Quit records for a node outside the table, each on a
    connection of its own, waiting for each to be closed: two log lines
    apiece."""
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        s.sendall(b"Qxyz999\0\0")
        try:
            s.recv(1)
        except (ConnectionResetError, socket.timeout):
            pass
        s.close()


def main():
    cmd = sys.argv[1]
    if cmd == "exchange":
        payload = bytes.fromhex(sys.argv[3]) if len(sys.argv) > 3 else b""
        timeout = float(sys.argv[4]) if len(sys.argv) > 4 else 10
        exchange(int(sys.argv[2]), payload, timeout)
    elif cmd == "watch":
        watch(int(sys.argv[2]), float(sys.argv[3]))
    elif cmd == "outage":
        outage(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]))
    elif cmd == "stall":
        stall(float(sys.argv[2]))
    elif cmd == "quits":
        quits(int(sys.argv[2]), int(sys.argv[3]))
    elif cmd == "flood":
        flood(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    else:
        sys.exit("unknown command " + cmd)


if __name__ == "__main__":
    main()
