"""tests/support/peers.py: the peers that bash cannot play, for the
scenarios (tests/support/harness.sh runs it as PEERS): exact bytes, precise
timing, many connections held at once, and the CPU time a process spends
meanwhile. Every wait here is bounded."""
import errno
import fcntl
import os
import resource
import select
import selectors
import socket
import sys
import time

F_SETPIPE_SZ = 1031


def exchange(port, payload, timeout, source=None):
    """Connects (from source when given), sends payload (may be empty),
    reads until the peer closes or timeout passes. Prints the reply's bytes
    escaped, whether the peer closed, the seconds from connect to close (or
    to the timeout) and to the first reply."""
    s = socket.create_connection(("127.0.0.1", port), timeout=max(5, timeout),
                                 source_address=(source, 0) if source else None)
    start = time.monotonic()
    first = -1.0
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
        if not got:
            first = time.monotonic() - start
        got += chunk
    s.close()
    print("reply=%r closed=%d seconds=%.2f first=%.2f" % (got, closed, time.monotonic() - start, first))


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


def watch(pids, seconds):
    """CPU seconds the processes (comma-separated) use together over the
    next seconds, and the first one's threads."""
    pids = [int(p) for p in pids.split(",")]
    before = sum(cpu_seconds(p) for p in pids)
    time.sleep(seconds)
    print("cpu=%.2f threads=%d" % (sum(cpu_seconds(p) for p in pids) - before, threads(pids[0])))


def raise_file_limit():
    """This client holds thousands of connections: its soft descriptor limit
    goes up to the hard one."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def silent_connection(port, source=None):
    """A connection to 127.0.0.1:port, from source when given, that is
    opened without waiting for it and never sends anything."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if source is not None:
        s.bind((source, 0))
    s.setblocking(False)
    s.connect_ex(("127.0.0.1", port))
    return s


def outage(pid, port, count, seconds):
    """Opens count IDENT connections that send nothing, more than the
    process has descriptors for, and holds them while more keep arriving.
    Reports the process's descriptors, threads and CPU time during the
    outage, then lets every connection go."""
    raise_file_limit()
    held = []
    deadline = time.monotonic() + 20
    while len(held) < count and time.monotonic() < deadline:
        held.append(silent_connection(port))
        time.sleep(0.005)
    # The handlers accepted so far sit out their 2 s wait and then wait for
    # a query that never comes: the process stays at its limit.
    time.sleep(3)
    fds = descriptors(pid)
    before = cpu_seconds(pid)
    # More connections keep arriving while the process is at its limit.
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        held.append(silent_connection(port))
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


def flood(sources, host, port, count):
    """Opens count connections to host:port one after another, from the
    comma-separated sources in turn, each until the peer closes it. Prints
    how many were closed."""
    sources = sources.split(",")
    closed = 0
    for i in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(5)
        s.bind((sources[i % len(sources)], 0))
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


def hold(pid, port, count, seconds):
    """Opens count IDENT connections from 127.0.0.2 that send nothing, and
    while they are held asks from 127.0.0.3 for the pair 7001 , 7000.
    Reports how many held connections the process closed at once, its
    threads meanwhile, the answer and the seconds it took, then lets every
    connection go."""
    raise_file_limit()
    held = []
    deadline = time.monotonic() + 30
    while len(held) < count and time.monotonic() < deadline:
        held.append(silent_connection(port, "127.0.0.2"))
        if len(held) % 100 == 0:
            time.sleep(0.02)
    # Past their 2 s wait the handlers sit waiting for a query. A slow build
    # (ThreadSanitizer) may still be taking the burst from its accept queue:
    # the ask below is timed once the thread count has held still for a
    # second, so that it measures the address being held, not the burst.
    time.sleep(seconds)
    still_since, last = time.monotonic(), threads(pid)
    settle_end = time.monotonic() + 30
    while time.monotonic() - still_since < 1.0 and time.monotonic() < settle_end:
        time.sleep(0.1)
        now = threads(pid)
        if now != last:
            still_since, last = time.monotonic(), now
    most = threads(pid)
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.3", 0))
    s.settimeout(10)
    start = time.monotonic()
    s.connect(("127.0.0.1", port))
    s.sendall(b"7001 , 7000\r\n")
    reply = b""
    try:
        while not reply.endswith(b"\n"):
            chunk = s.recv(256)
            if not chunk:
                break
            reply += chunk
    except OSError:
        pass
    took = time.monotonic() - start
    s.close()
    most = max(most, threads(pid))
    closed = 0
    for h in held:
        try:
            if h.recv(16) == b"":
                closed += 1
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
    print("held=%d closed=%d threads=%d seconds=%.2f reply=%r" % (len(held), closed, most, took, reply))
    for h in held:
        h.close()


def storm(sources, port, rate, seconds, query):
    """From the comma-separated sources in turn, opens rate connections a
    second to 127.0.0.1:port for seconds (rate * seconds in all), each
    sending an IDENT query at once when query is "query", else nothing, and
    each closed once the server closes it; then waits at most 5 s more for
    the server to close the rest. Prints how many were opened, closed by the
    server, refused, and still open at the end."""
    raise_file_limit()
    sources = sources.split(",")
    payload = b"1 , 2\r\n" if query == "query" else b""
    sel = selectors.DefaultSelector()
    total, opened, closed, refused = int(rate * seconds), 0, 0, 0
    start = time.monotonic()
    while time.monotonic() - start < seconds + 5 and (opened < total or sel.get_map()):
        due = min(total, int((time.monotonic() - start) * rate))
        while opened < due:
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind((sources[opened % len(sources)], 0))
            s.setblocking(False)
            opened += 1
            if s.connect_ex(("127.0.0.1", port)) not in (0, errno.EINPROGRESS):
                refused += 1
                s.close()
                continue
            sel.register(s, selectors.EVENT_WRITE if payload else selectors.EVENT_READ)
        for key, events in sel.select(timeout=0.01):
            s = key.fileobj
            try:
                if events & selectors.EVENT_WRITE:
                    s.send(payload)
                    sel.modify(s, selectors.EVENT_READ)
                    continue
                if s.recv(256):
                    continue
            except OSError:
                pass
            closed += 1
            sel.unregister(s)
            s.close()
    left = len(sel.get_map())
    for key in list(sel.get_map().values()):
        key.fileobj.close()
    print("opened=%d closed=%d refused=%d open_at_end=%d" % (opened, closed, refused, left))


def main():
    cmd = sys.argv[1]
    if cmd == "exchange":
        payload = bytes.fromhex(sys.argv[3]) if len(sys.argv) > 3 else b""
        timeout = float(sys.argv[4]) if len(sys.argv) > 4 else 10
        exchange(int(sys.argv[2]), payload, timeout, sys.argv[5] if len(sys.argv) > 5 else None)
    elif cmd == "watch":
        watch(sys.argv[2], float(sys.argv[3]))
    elif cmd == "hold":
        hold(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]))
    elif cmd == "outage":
        outage(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]))
    elif cmd == "stall":
        stall(float(sys.argv[2]))
    elif cmd == "quits":
        quits(int(sys.argv[2]), int(sys.argv[3]))
    elif cmd == "storm":
        storm(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5]), sys.argv[6])
    elif cmd == "flood":
        flood(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    else:
        sys.exit("unknown command " + cmd)


if __name__ == "__main__":
    main()
