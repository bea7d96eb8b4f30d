"""tests/load/loadclient.py: the load on a running quillet. Registers 255
nodes, then opens 2,000 IDENT connections at once (from four loopback
addresses, 500 each) while 2,000 Connect and Quit records churn half of the
nodes, and checks every answer: none before the server's 2 s wait, each
within ANSWER_LIMIT of its connection, and never a name that belongs to
another node.
Every wait is bounded; the whole run ends within RUN_LIMIT seconds."""
import json
import resource
import selectors
import socket
import sys
import threading
import time

IDENT_PORT = 113
NODES = 255               # nodes 0..254 registered
CHURNED_FROM = 128        # nodes 128..254 are churned by Connect/Quit records
CONNECTIONS = 2000
RECORDS = 2000
ANSWER_WAIT = 2.0         # the server reads a query 2 s after accepting it
# Seconds from a connection to its answer. The answer is due 2 s after the
# accept; the rest is room for this client's own lag, which the measure
# includes: with 2,000 sockets on one thread it may read an answer late.
ANSWER_LIMIT = 10.0
RUN_LIMIT = 90.0
# The connections come from several loopback addresses, so that no one
# address passes the 1,024 handlers quillet allows it at once.
SOURCES = ["127.0.0.%d" % (10 + i) for i in range(4)]


def ports(node):
    return 20000 + node, 10000 + node   # remote, local


def field(text, width):
    data = text.encode()
    return data + b"\0" * (width - len(data))


def connect_record(node, name):
    remote, local = ports(node)
    return b"C\0\0\0" + field(str(node), 5) + field(str(remote), 6) + field(str(local), 6) + field(name, 129)


def quit_record(node):
    return b"Q\0\0\0" + field(str(node), 5)


def send_record(port, record):
    """One notification connection; waits for the close that follows."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(record)
        s.settimeout(10)
        while s.recv(64):
            pass


def churn(port, stats):
    """RECORDS records on the churned nodes, spread over about 3 s of the
    load: each node's Connects carry a new generation of its own name."""
    start = time.monotonic()
    span = 3.0
    for i in range(RECORDS):
        node = CHURNED_FROM + i % (NODES - CHURNED_FROM)
        if (i // (NODES - CHURNED_FROM)) % 2 == 0:
            send_record(port, quit_record(node))
        else:
            send_record(port, connect_record(node, "user%03d-g%d" % (node, i)))
        stats["records"] += 1
        ahead = start + span * (i + 1) / RECORDS - time.monotonic()
        if ahead > 0:
            time.sleep(ahead)
    stats["churn_seconds"] = time.monotonic() - start


def check_reply(node, reply):
    """None when reply is right for node, else what is wrong."""
    remote, local = ports(node)
    head = "%d,%d : " % (local, remote)
    if not reply.startswith(head) or not reply.endswith("\r\n") or reply.count("\n") != 1:
        return "malformed"
    body = reply[len(head):-2]
    if node < CHURNED_FROM:
        return None if body == "USERID : UNIX : user%03d" % node else "stable node answered " + body
    if body == "ERROR : NO-USER ":
        return None
    if body.startswith("USERID : UNIX : "):
        name = body[len("USERID : UNIX : "):]
        if name == "user%03d" % node or name.startswith("user%03d-g" % node):
            return None
        return "another node's name: " + name
    return "unexpected " + body


def main():
    notify_port = int(sys.argv[1])
    # Seconds over which the connections are opened; 0 opens them in one
    # burst.
    spread = float(sys.argv[2]) if len(sys.argv) > 2 else 0.0
    opened = None
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    for node in range(NODES):
        send_record(notify_port, connect_record(node, "user%03d" % node))
    # The last registration's handler may still be running: wait for it.
    time.sleep(0.5)

    stats = {"records": 0}
    churner = threading.Thread(target=churn, args=(notify_port, stats), daemon=True)
    sel = selectors.DefaultSelector()
    conns = []
    begin = time.monotonic()
    churner.start()
    open_now = peak_open = 0
    done = 0
    while done < CONNECTIONS and time.monotonic() - begin < RUN_LIMIT:
        # Start every connection that is due: all at once when spread is 0.
        while len(conns) < CONNECTIONS and time.monotonic() - begin >= spread * len(conns) / CONNECTIONS:
            node = len(conns) % NODES
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind((SOURCES[len(conns) % len(SOURCES)], 0))
            s.setblocking(False)
            c = {"node": node, "sock": s, "t0": time.monotonic(), "t1": None, "t2": None,
                 "t3": None, "buf": b"", "sent": False}
            s.connect_ex(("127.0.0.1", IDENT_PORT))
            sel.register(s, selectors.EVENT_WRITE, c)
            conns.append(c)
            if len(conns) == CONNECTIONS:
                opened = time.monotonic() - begin
        wait = 0.5 if len(conns) == CONNECTIONS else 0.001
        for key, events in sel.select(timeout=wait):
            c = key.data
            s = c["sock"]
            now = time.monotonic()
            if not c["sent"]:
                if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                    sel.unregister(s)
                    s.close()
                    c["t3"] = now
                    done += 1
                    continue
                c["t1"] = now
                remote, local = ports(c["node"])
                s.send(("%d , %d\r\n" % (local, remote)).encode())
                c["sent"] = True
                open_now += 1
                peak_open = max(peak_open, open_now)
                sel.modify(s, selectors.EVENT_READ, c)
                continue
            try:
                chunk = s.recv(4096)
            except OSError:
                chunk = b""
            if chunk:
                c["buf"] += chunk
                if c["t2"] is None and b"\n" in c["buf"]:
                    c["t2"] = now
                continue
            sel.unregister(s)
            s.close()
            c["t3"] = now
            open_now -= 1
            done += 1
    churner.join(timeout=max(0.0, RUN_LIMIT - (time.monotonic() - begin)))

    faults = []
    worst_from_established = worst_from_connect = 0.0
    for i, c in enumerate(conns):
        if c["t2"] is None:
            faults.append("connection %d (node %d): no answer, established=%s closed=%s"
                          % (i, c["node"], c["t1"] is not None, c["t3"] is not None))
            continue
        worst_from_established = max(worst_from_established, c["t2"] - c["t1"])
        worst_from_connect = max(worst_from_connect, c["t2"] - c["t0"])
        if c["t2"] - c["t1"] > ANSWER_LIMIT:
            faults.append("connection %d: answered %.2f s after it was made" % (i, c["t2"] - c["t1"]))
        # The connect call came before the accept, so no lag of ours can
        # make an answer look early.
        if c["t2"] - c["t0"] < ANSWER_WAIT - 0.05:
            faults.append("connection %d: answered %.2f s after the connect call, before the wait"
                          % (i, c["t2"] - c["t0"]))
        wrong = check_reply(c["node"], c["buf"].decode("latin-1"))
        if wrong:
            faults.append("connection %d (node %d): %s: %r" % (i, c["node"], wrong, c["buf"]))
    # A connection stays open at least 2 s after its query (the wait after
    # the reply), so all opened within any 2 s are open together: every one
    # of them when the spread is shorter, else about 2 / spread of them.
    if spread < 2.0:
        peak_needed = CONNECTIONS
    else:
        peak_needed = int(CONNECTIONS * 2.0 / spread * 0.9)
    if peak_open < peak_needed:
        faults.append("only %d connections were open at the same time, %d expected"
                      % (peak_open, peak_needed))
    established = [c["t1"] - c["t0"] for c in conns if c["t1"] is not None]
    established.sort()
    report = {
        "connections": CONNECTIONS,
        "answered": sum(1 for c in conns if c["t2"] is not None),
        "records": stats["records"],
        "open_all_within_s": round(opened, 2) if opened is not None else None,
        "peak_simultaneous": peak_open,
        "handshake_median_s": round(established[len(established) // 2], 3) if established else None,
        "handshake_max_s": round(established[-1], 3) if established else None,
        "worst_answer_after_established_s": round(worst_from_established, 2),
        "worst_answer_after_connect_call_s": round(worst_from_connect, 2),
        "run_s": round(time.monotonic() - begin, 2),
        "faults": len(faults),
    }
    print(json.dumps(report))
    for f in faults[:20]:
        print("FAULT:", f)
    sys.exit(1 if faults or stats["records"] != RECORDS else 0)


if __name__ == "__main__":
    main()
