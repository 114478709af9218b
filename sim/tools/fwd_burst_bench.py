#!/usr/bin/python3
"""Burst benchmark of the port forwarder, run inside the virtual camera:

  sim/vcam -- python3 "$PWD/sim/tools/fwd_burst_bench.py" [CLIENTS] [FORWARDER]

Starts "controller -d", the two halves of the forwarder (default
sim/tools/vcam-fwd) in front of it, then opens CLIENTS (default 60; the
controller serves 64 at once and closes connections past them)
connections at once; each sends one "heartTest" and waits for the reply,
and none is closed before all have theirs. Prints the time from connect to
reply (p50, p99, max), the whole burst's time and the SYNs the kernel had
to send again (each one a connect that stalled for a second or more).
"""
import os
import resource
import selectors
import socket
import subprocess
import sys
import time

PORT = 9888
REQUEST = b'{"cmd":"heartTest"}\n'


def netstat(name):
    with open("/proc/net/netstat") as f:
        rows = [line.split() for line in f if line.startswith("TcpExt:")]
    return int(dict(zip(rows[0], rows[1])).get(name, -1))


def wait_port(port, seconds=10):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def burst(n):
    sel = selectors.DefaultSelector()
    start = time.monotonic()
    pending = {}
    for i in range(n):
        c = socket.socket()
        c.setblocking(False)
        c.connect_ex(("127.0.0.1", PORT))
        pending[c] = [time.monotonic(), b""]
        sel.register(c, selectors.EVENT_WRITE)
    took, done = [], []
    while pending:
        events = sel.select(timeout=60)
        if not events:
            break
        for key, mask in events:
            c = key.fileobj
            t0, got = pending[c]
            if mask & selectors.EVENT_WRITE:
                c.send(REQUEST)
                sel.modify(c, selectors.EVENT_READ)
                continue
            data = c.recv(4096)
            pending[c][1] = got + data
            if b"\n" in got + data or not data:
                took.append(time.monotonic() - t0)
                sel.unregister(c)
                done.append(c)
                del pending[c]
    total = time.monotonic() - start
    for c in done + list(pending):
        c.close()
    return sorted(took), total, len(pending)


def main(argv):
    n = int(argv[1]) if len(argv) > 1 else 60
    fwd = argv[2] if len(argv) > 2 else os.path.join(os.environ["VCAM_REPO"], "sim/tools/vcam-fwd")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    log = open("/tmp/fwd_bench.log", "w")
    procs = [subprocess.Popen(["controller", "-d"], stdout=log, stderr=log)]
    if not wait_port(8888):
        print("controller did not start", file=sys.stderr)
        return 1
    procs.append(subprocess.Popen(["python3", fwd, "camera", "/tmp/fwd.sock", "127.0.0.1", "8888"]))
    procs.append(subprocess.Popen(["python3", fwd, "host", "127.0.0.1", str(PORT), "/tmp/fwd.sock"]))
    try:
        if not wait_port(PORT):
            print("forwarder did not start", file=sys.stderr)
            return 1
        syn = netstat("TCPSynRetrans")
        took, total, lost = burst(n)
        syn = netstat("TCPSynRetrans") - syn
        q = lambda f: took[min(len(took) - 1, int(len(took) * f))] * 1000
        print(f"{n} clients: p50 {q(0.5):.0f} ms, p99 {q(0.99):.0f} ms, max {took[-1] * 1000:.0f} ms, "
              f"burst {total:.2f} s, unanswered {lost}, SYNs sent again {syn}")
    finally:
        for p in reversed(procs):
            p.send_signal(2)
            p.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
