"""Shared parts of the virtual camera's stand-in programs.

Every stand-in records its command line in the run's call log, reads its
controls (key=value lines written by vcam-standin or a test) from
/.vcam/ctl/<program>, and the workers speak the controller's FIFO protocol:
one compact JSON object {"cmd":...,"data":{...}} per line.
"""
import errno
import json
import os
import select
import shlex
import signal
import subprocess
import sys
import time

RUN_DIR = "/.vcam"
CALLS_LOG = os.environ.get("VCAM_CALLS_LOG", RUN_DIR + "/calls.log")
FIFO_LOG = os.environ.get("VCAM_FIFO_LOG", RUN_DIR + "/fifo.log")
CTL_DIR = os.environ.get("VCAM_CTL_DIR", RUN_DIR + "/ctl")
READ_FIFO = "/tmp/server_read.fifo"    # workers -> controller
WRITE_FIFO = "/tmp/server_write.fifo"  # controller -> workers


def prog_name(argv):
    return os.path.basename(argv[0])


def _append(path, line):
    # One write per line with O_APPEND keeps lines of parallel writers whole.
    try:
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    except OSError:
        return
    try:
        os.write(fd, line.encode("utf-8", "surrogateescape"))
    finally:
        os.close(fd)


def log_call(argv):
    """Records the command line, shell-quoted, as one line of the call log."""
    _append(CALLS_LOG, shlex.join([prog_name(argv)] + list(argv[1:])) + "\n")


def log_fifo(prog, line):
    """Records a FIFO command the program read, as "<program> <line>"."""
    _append(FIFO_LOG, prog + " " + line + "\n")


def controls(prog):
    """The program's controls: key=value lines of /.vcam/ctl/<program>."""
    out = {}
    try:
        with open(os.path.join(CTL_DIR, prog), encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if not line or line.startswith("#") or "=" not in line:
                    continue
                k, v = line.split("=", 1)
                out[k.strip()] = v.strip()
    except OSError:
        pass
    return out


def set_controls(prog, ctl):
    """Replaces the program's controls (a stand-in that uses some up)."""
    path = os.path.join(CTL_DIR, prog)
    tmp = path + ".new"
    with open(tmp, "w", encoding="utf-8") as f:
        for k, v in ctl.items():
            f.write("%s=%s\n" % (k, v))
    os.rename(tmp, path)


def ctl_int(ctl, key, default):
    try:
        return int(ctl.get(key, default))
    except (TypeError, ValueError):
        return default


def ctl_float(ctl, key, default):
    try:
        return float(ctl.get(key, default))
    except (TypeError, ValueError):
        return default


def message(cmd, data):
    return json.dumps({"cmd": cmd, "data": data}, separators=(",", ":"), ensure_ascii=False)


class WorkerFifo:
    """The worker's ends of the two controller FIFOs."""

    def __init__(self, prog, wait=2.0):
        self.prog = prog
        self.wfd = -1
        self.rfd = -1
        self.buf = b""
        end = time.monotonic() + wait
        while True:
            try:
                self.wfd = os.open(READ_FIFO, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as e:
                if time.monotonic() > end:
                    print("%s: cannot open %s: %s" % (prog, READ_FIFO, e.strerror), file=sys.stderr)
                    break
                time.sleep(0.05)
        try:
            self.rfd = os.open(WRITE_FIFO, os.O_RDONLY | os.O_NONBLOCK)
        except OSError:
            self.rfd = -1

    def send(self, cmd, data):
        if self.wfd < 0:
            return False
        text = (message(cmd, data) + "\n").encode("utf-8")
        try:
            return os.write(self.wfd, text) == len(text)
        except OSError:
            return False

    def commands(self, timeout):
        """Waits up to timeout seconds; returns the complete lines read."""
        if self.rfd < 0:
            interruptible_sleep(timeout)
            return []
        try:
            ready, _, _ = select.select([self.rfd], [], [], max(0.0, timeout))
        except InterruptedError:
            return []
        if not ready:
            return []
        try:
            chunk = os.read(self.rfd, 65536)
        except BlockingIOError:
            return []
        except OSError as e:
            if e.errno == errno.EINTR:
                return []
            raise
        if not chunk:
            # No writer left: the controller is gone; stop polling in a loop.
            os.close(self.rfd)
            self.rfd = -1
            return []
        self.buf += chunk
        lines = []
        while b"\n" in self.buf:
            line, self.buf = self.buf.split(b"\n", 1)
            text = line.decode("utf-8", "replace")
            if text.strip():
                log_fifo(self.prog, text)
                lines.append(text)
        return lines


def parse_command(text):
    """The (cmd, data) of a FIFO line, or None when it is no command."""
    try:
        doc = json.loads(text)
    except ValueError:
        return None
    if not isinstance(doc, dict) or not isinstance(doc.get("cmd"), str):
        return None
    data = doc.get("data")
    return doc["cmd"], data if isinstance(data, dict) else {}


def interruptible_sleep(seconds):
    end = time.monotonic() + seconds
    while True:
        left = end - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, 0.05))


class Stop(Exception):
    pass


def stop_on_sigint(ignore=False):
    """SIGINT raises Stop in the main loop, or is ignored."""
    def handler(signum, frame):
        raise Stop()
    signal.signal(signal.SIGINT, signal.SIG_IGN if ignore else handler)
    # the workers start with SIGINT blocked; one sent meanwhile lands here
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def run_worker(prog, main, argv):
    """Runs a worker's main; a SIGINT that lands outside the main's own
    handling (while starting up, or while it cleans up) still ends the
    worker as a stop does, with its exit_code control (0)."""
    try:
        return main(argv)
    except Stop:
        return ctl_int(controls(prog), "exit_code", 0)


def write_jpeg(path, width, height, shade=0):
    """Writes a JPEG test picture (bands and a gradient) of the given size."""
    width = max(8, int(width))
    height = max(8, int(height))
    row_sets = []
    for band in range(8):
        row = bytearray(width * 3)
        for x in range(width):
            v = (x * 255) // max(1, width - 1)
            row[3 * x] = (v + band * 32 + shade) & 0xFF
            row[3 * x + 1] = (255 - v + shade) & 0xFF
            row[3 * x + 2] = (band * 30 + 40) & 0xFF
        row_sets.append(bytes(row))
    band_h = max(1, height // 8)
    body = b"".join(row_sets[min(7, y // band_h)] for y in range(height))
    ppm = b"P6\n%d %d\n255\n" % (width, height) + body
    tmp = path + ".part"
    try:
        with open(tmp, "wb") as out:
            proc = subprocess.run(["/usr/bin/cjpeg", "-quality", "85"], input=ppm, stdout=out,
                                  stderr=subprocess.DEVNULL)
        if proc.returncode != 0:
            raise OSError(errno.EIO, "cannot encode the picture")
        os.rename(tmp, path)
    except OSError:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def usage(prog, text, code=1):
    print("usage: %s %s" % (prog, text), file=sys.stderr)
    sys.exit(code)
