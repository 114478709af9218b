#!/usr/bin/python3
"""Burst benchmark of the port forwarder, run inside the virtual camera:

  sim/vcam -- python3 "$PWD/sim/tools/fwd_burst_bench.py" [CLIENTS] [FORWARDER]

Starts "controller -d", the two halves of the forwarder (default
sim/tools/vcam-fwd) in front of it, then opens CLIENTS (default 2000)
connections at once; each sends one "heartTest" once connected and reads
until the reply or EOF, and none is closed before all are through. The
controller serves 64 at once and closes connections past them, so past 64
most are closed from the far side. Prints the connect times (p50, p99,
max), the time from connect to reply or EOF, how many were answered,
closed and left hanging, the whole burst's time, the SYNs the kernel had
to send again (each one a connect that stalled for a second or more), and
whether a later client is answered once the burst is gone.
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


def heart_test(seconds=5):
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=seconds) as c:
            c.sendall(REQUEST)
            got = b""
            while b"\n" not in got:
                data = c.recv(4096)
                if not data:
                    return False
                got += data
            return b"heartTest" in got
    except OSError:
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
    connect, through, done = [], [], []
    answered = closed = failed = 0
    while pending:
        events = sel.select(timeout=60)
        if not events:
            break
        for key, mask in events:
            c = key.fileobj
            t0, got = pending[c]
            if mask & selectors.EVENT_WRITE:
                connect.append(time.monotonic() - t0)
                if c.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                    failed += 1
                else:
                    try:
                        c.send(REQUEST)
                        sel.modify(c, selectors.EVENT_READ)
                        continue
                    except OSError:
                        failed += 1
            else:
                try:
                    data = c.recv(4096)
                except OSError:
                    data, failed = None, failed + 1
                if data:
                    pending[c][1] = got = got + data
                    if b"\n" not in got:
                        continue
                    answered += 1
                elif data == b"":
                    closed += 1
                through.append(time.monotonic() - t0)
            sel.unregister(c)
            done.append(c)
            del pending[c]
    total = time.monotonic() - start
    for c in done + list(pending):
        c.close()
    return sorted(connect), sorted(through), total, answered, closed, failed, len(pending)


def spread(times):
    if not times:
        return "none"
    q = lambda f: times[min(len(times) - 1, int(len(times) * f))] * 1000
    return f"p50 {q(0.5):.0f} ms, p99 {q(0.99):.0f} ms, max {times[-1] * 1000:.0f} ms"


def main(argv):
    n = int(argv[1]) if len(argv) > 1 else 2000
    fwd = argv[2] if len(argv) > 2 else os.path.join(os.environ["VCAM_REPO"], "sim/tools/vcam-fwd")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    log = open("/tmp/fwd_bench.log", "w")
    # the panel node and the LED file the controller opens at start
    if not os.path.exists("/dev/oled"):
        open("/dev/oled", "w").close()
    open("/dev/gpioLed", "w").close()
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
        connect, through, total, answered, closed, failed, hanging = burst(n)
        syn = netstat("TCPSynRetrans") - syn
        end = time.monotonic() + 20
        while not heart_test() and time.monotonic() < end:
            time.sleep(0.05)
        later = time.monotonic() < end
        up = all(p.poll() is None for p in procs)
        print(f"{n} clients: connect {spread(connect)}; reply or EOF {spread(through)}; "
              f"answered {answered}, closed {closed}, failed {failed}, hanging {hanging}; "
              f"burst {total:.2f} s, SYNs sent again {syn}; "
              f"forwarder {'up' if up else 'DOWN'}, later client {'served' if later else 'NOT served'}")
    finally:
        for p in reversed(procs):
            p.send_signal(2)
            p.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
