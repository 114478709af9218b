#!/usr/bin/env python3
# The hostile connection cases, run inside the camera against a controller
# already listening on port 8888 (see run_conn_cases.sh):
#   conn_cases.py gone PID      63 clients x 300 listFile, then a reset each;
#                               a phone's heartTest times and the resident size
#   conn_cases.py longline      200 heartTest + one 120,026-byte line + a
#                               heartTest in one write, then the line alone
#   conn_cases.py newcomers S   a phone on 127.0.0.2 sending heartTest every S
#                               seconds for 10 s while newcomers cycle over
#                               127.0.1.1-100 every 20 ms, the last 64 talking
#   conn_cases.py slowphone     a phone reading 4 KiB every 40 ms (64 KiB
#                               receive buffer), a full-speed phone, and a
#                               client sending queryState for 10 s
#   conn_cases.py leak PID [keep] [LINE] 16 clients x 40 listFile and a reset, one slow
#                               client pipelining 100,000 heartTests and
#                               closing after 8 s; SIGINT 0.3 s later
#                               (keep: the 16 stay connected, so that their
#                               lines still wait at the SIGINT; LINE: the
#                               slow client's line instead of heartTest)
# Every loop is bounded in count and time.
import os
import select
import signal
import socket
import struct
import sys
import time

HEART = b'{"cmd":"heartTest"}\n'
HEART_REPLY = b'{"type":"heartTestResult","code":true}'


def connect(source=None, rcvbuf=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    if source:
        s.bind((source, 0))
    s.connect(("127.0.0.1", 8888))
    return s


def reset(s):
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def alive(s):
    r, _, _ = select.select([s], [], [], 0)
    if not r:
        return True
    try:
        return s.recv(65536, socket.MSG_PEEK) != b""
    except OSError:
        return False


def heart_time(s, limit=30.0):
    """Seconds for one heartTest round trip; None when the phone was closed."""
    t0 = time.monotonic()
    try:
        s.sendall(HEART)
    except OSError:
        return None
    buf = b""
    while time.monotonic() - t0 < limit:
        r, _, _ = select.select([s], [], [], 0.5)
        if not r:
            continue
        try:
            data = s.recv(65536)
        except OSError:
            return None
        if not data:
            return None
        buf += data
        if HEART_REPLY in buf:
            return time.monotonic() - t0
    return None


def case_gone(pid):
    phone = connect()
    heart_time(phone)
    before = resident_kib(pid)
    lines = b'{"cmd":"listFile"}\n' * 300
    clients = [connect() for _ in range(63)]
    for c in clients:
        c.sendall(lines)
    for c in clients:
        reset(c)
    times = [heart_time(phone) for _ in range(5)]
    peak = resident_kib(pid)
    # until the controller's CPU time stops growing (60 s at the most)
    t0 = time.monotonic()
    last = None
    while time.monotonic() - t0 < 60:
        with open("/proc/%d/stat" % pid) as f:
            cpu = sum(int(x) for x in f.read().split(")")[1].split()[11:13])
        if cpu == last:
            break
        last = cpu
        time.sleep(1)
    print("heartTest s behind the gone clients: %s" % ", ".join("%.3f" % t if t is not None else "closed" for t in times))
    print("resident KiB: before %d, right after %d, once idle %d (%.1f s)" %
          (before, peak, resident_kib(pid), time.monotonic() - t0))


def read_all(s, want_lines, limit=30.0):
    buf = b""
    t0 = time.monotonic()
    while buf.count(b"\n") < want_lines and time.monotonic() - t0 < limit:
        r, _, _ = select.select([s], [], [], 0.5)
        if not r:
            continue
        try:
            data = s.recv(1 << 20)
        except OSError:
            break
        if not data:
            return buf, True
        buf += data
    return buf, not alive(s)


def case_longline():
    pad = b'{"cmd":"heartTest","data":{"pad":"'
    line = pad + b"p" * (120026 - len(pad) - 4) + b'"}}\n'
    assert len(line) == 120026
    s = connect()
    s.sendall(HEART * 200 + line + HEART)
    buf, closed = read_all(s, 202, 10)
    print("queued behind 200 heartTests: %d answers, closed %s" % (buf.count(HEART_REPLY), closed))
    s = connect()
    s.sendall(line + HEART)
    buf, closed = read_all(s, 1, 10)
    print("alone: %d answers, closed %s" % (buf.count(HEART_REPLY), closed))


def case_newcomers(every):
    phone = connect("127.0.0.2")
    heart_time(phone)
    live = []
    t0 = time.monotonic()
    next_heart = t0 + every
    n = 0
    answered = 0
    closed_at = None
    refused = 0
    while time.monotonic() - t0 < 10 and closed_at is None:
        addr = "127.0.1.%d" % (n % 100 + 1)
        n += 1
        try:
            c = connect(addr)
            live.append(c)
        except OSError:
            refused += 1
        while len(live) > 64:
            live.pop(0).close()
        for c in live:
            try:
                c.send(HEART, socket.MSG_DONTWAIT)
                c.recv(65536, socket.MSG_DONTWAIT)
            except OSError:
                pass
        if time.monotonic() >= next_heart:
            next_heart += every
            if heart_time(phone, 5) is None:
                closed_at = time.monotonic() - t0
                break
            answered += 1
        time.sleep(0.02)
    for c in live:
        c.close()
    print("phone every %.1f s: %s, %d heartTests answered, %d newcomers" %
          (every, "closed after %.1f s" % closed_at if closed_at is not None else "kept 10 s", answered, n))


def case_slowphone():
    slow = connect(rcvbuf=65536)
    fast = connect()
    flood = connect()
    t0 = time.monotonic()
    sent = 0
    chunk = b'{"cmd":"queryState"}\n' * 200
    flood.setblocking(False)
    slow_got = fast_got = 0
    slow_closed = fast_closed = None
    next_read = t0
    pending = b""
    while time.monotonic() - t0 < 10:
        try:
            if not pending:
                pending = chunk
            n = flood.send(pending)
            pending = pending[n:]
            if not pending:
                sent += 200
        except BlockingIOError:
            pass
        try:
            while True:
                if not flood.recv(1 << 20, socket.MSG_DONTWAIT):
                    break
        except OSError:
            pass
        if fast_closed is None:
            try:
                while True:
                    d = fast.recv(1 << 20, socket.MSG_DONTWAIT)
                    if not d:
                        fast_closed = time.monotonic() - t0
                        break
                    fast_got += d.count(b'"type":"state"')
            except BlockingIOError:
                pass
        now = time.monotonic()
        if slow_closed is None and now >= next_read:
            next_read += 0.04
            try:
                d = slow.recv(4096, socket.MSG_DONTWAIT)
                if not d:
                    slow_closed = now - t0
                slow_got += d.count(b'"type":"state"')
            except BlockingIOError:
                pass
            except OSError:
                slow_closed = now - t0
    # the slow phone is still served: a heartTest after its backlog
    ok = None
    if slow_closed is None:
        slow.setblocking(True)
        slow.sendall(HEART)
        buf, closed = b"", False
        t1 = time.monotonic()
        seen = False
        while not seen and time.monotonic() - t1 < 60:
            try:
                d = slow.recv(1 << 20)
            except OSError:
                d = b""
            if not d:
                closed = True
                break
            seen = HEART_REPLY in buf[-64:] + d
            buf = d[-64:]
        ok = not closed and seen
    print("queryState sent %d; slow phone: %s, %d state pushes read, heartTest after %s; fast phone: %s, %d read" %
          (sent, "closed at %.1f s" % slow_closed if slow_closed is not None else "kept", slow_got,
           "answered" if ok else "not answered", "closed" if fast_closed is not None else "kept", fast_got))


def case_leak(pid, keep=False, line=HEART):
    clients = [connect() for _ in range(16)]
    for c in clients:
        c.sendall(b'{"cmd":"listFile"}\n' * 40)
    for c in clients:
        if not keep:
            reset(c)
    slow = connect(rcvbuf=8192)
    slow.setblocking(False)
    data = line * 100000
    t0 = time.monotonic()
    while time.monotonic() - t0 < 8:
        if data:
            try:
                data = data[slow.send(data):]
            except BlockingIOError:
                pass
        try:
            slow.recv(4096)
        except BlockingIOError:
            pass
        time.sleep(0.01)
    slow.close()
    time.sleep(0.3)
    os.kill(pid, signal.SIGINT)
    t1 = time.monotonic()
    while os.path.exists("/proc/%d" % pid) and time.monotonic() - t1 < 60:
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().split(")")[1].split()[0] == "Z":
                    break
        except OSError:
            break
        time.sleep(0.05)


def main():
    case = sys.argv[1]
    if case == "gone":
        case_gone(int(sys.argv[2]))
    elif case == "longline":
        case_longline()
    elif case == "newcomers":
        case_newcomers(float(sys.argv[2]))
    elif case == "slowphone":
        case_slowphone()
    elif case == "leak":
        args = sys.argv[3:]
        keep = args[:1] == ["keep"]
        line = (args[1 if keep else 0] + "\n").encode() if len(args) > keep else HEART
        case_leak(int(sys.argv[2]), keep, line)
    else:
        sys.exit("unknown case " + case)


if __name__ == "__main__":
    main()
