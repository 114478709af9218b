#!/usr/bin/python3
"""The main command as a newcomer meets it, on a temporary copy of the
repository (the build folder of the tests is used, so nothing is compiled):
its short report, the photos kept from run to run, a kept camera reached
the way the README shows and ended by SIGTERM or SIGINT to the script, and
the folders it refuses.

  run_camera_test.py SOURCE_DIR BUILD_DIR
"""
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL: " + what, file=sys.stderr)
    return cond


def jpeg_size(path):
    data = open(path, "rb").read()
    pos = 2
    while data[:2] == b"\xff\xd8" and pos + 4 <= len(data):
        marker, length = data[pos + 1], struct.unpack(">H", data[pos + 2:pos + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2):
            h, w = struct.unpack(">HH", data[pos + 5:pos + 9])
            return w, h
        pos += 2 + length
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(script, *args, timeout=240):
    try:
        p = subprocess.run([script, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=timeout)
    except subprocess.TimeoutExpired as e:
        return None, f"(still running after {timeout} s) {e.output}"
    return p.returncode, p.stdout


def wait_until(cond, timeout=90):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.1)
    return cond()


def running_with(text):
    """Pids of processes whose command line names text."""
    found = []
    for d in os.listdir("/proc"):
        if d.isdigit() and int(d) != os.getpid():
            try:
                if text.encode() in open(f"/proc/{d}/cmdline", "rb").read():
                    found.append(int(d))
            except OSError:
                pass
    return found


def readme_python(port):
    """The README's Python lines for a kept camera, on the given port."""
    text = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")).read()
    m = re.search(r"^    (python3 -c 'import .*?')$", text, re.M | re.S)
    code = "\n".join(l[4:] if l.startswith("    ") else l for l in m.group(1).split("\n"))
    return code.replace("8888", str(port))


def card_photos(folder):
    return sorted(f for f in os.listdir(folder) if f.startswith("IMG_"))


def check_report(out, what):
    lines = out.splitlines()
    check(len(lines) <= 14, f"{what}: a short report, not {len(lines)} lines:\n{out}")
    names = [l.split()[0] for l in lines if l and not l.startswith(" ")]
    for name in ("install", "configure", "build", "camera", "photo", "result"):
        check(name in names, f"{what}: no {name} line:\n{out}")
    check(not re.search(r"^(-- |\[ *\d+%\]|Scanning|Consolidate)", out, re.M),
          f"{what}: build output in the report:\n{out}")


def keep_run(script, state, build, sig, while_kept=None):
    port = free_port()
    p = subprocess.Popen([script, "--keep", str(port), "--state", state, "--build", build],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    out = ""
    pid = None
    for line in p.stdout:
        out += line
        m = re.search(r"pid (\d+) on this machine", line)
        if m:
            pid = int(m.group(1))
        if "kept running" in line:
            break
    if not check("kept running" in out and f"127.0.0.1:{port}" in out, f"keep: no kept line:\n{out}"):
        p.kill()
        p.wait()
        return
    # the controller's process as the report names it
    check(pid and open(f"/proc/{pid}/comm").read().strip() == "controller", f"keep: pid {pid} is no controller")

    # what the README shows: bash's /dev/tcp, and a few lines of Python
    bash = subprocess.run(
        ["bash", "-c", f'exec 3<>/dev/tcp/127.0.0.1/{port}; echo \'{{"cmd":"heartTest"}}\' >&3; '
                       'IFS= read -r -t 10 line <&3; echo "$line"'],
        stdout=subprocess.PIPE, text=True, timeout=20)
    check(bash.stdout.strip() == '{"type":"heartTestResult","code":true}', f"keep: bash /dev/tcp got {bash.stdout!r}")
    # a second photo: the reply, then the busy photo screen comes and goes
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(b'{"cmd":"takePhoto","data":{}}\n')
        got = []
        busy = False
        for line in s.makefile():
            got.append(line.strip())
            if '"mode":1' in line:
                busy = True
            elif busy and "stateChanged" in line:
                break
    check(any('"takePhotoResult","code":true' in g for g in got), f"keep: python takePhoto got {got}")
    # the README's Python lines: the photo is on the card when they end
    before = card_photos(os.path.join(state, "sdcard"))
    py = subprocess.run(["bash", "-c", readme_python(port)], stdout=subprocess.PIPE, text=True, timeout=90)
    check(py.returncode == 0 and len(card_photos(os.path.join(state, "sdcard"))) == len(before) + 1,
          f"keep: after the README's Python lines the card holds {card_photos(os.path.join(state, 'sdcard'))}, "
          f"before {before}:\n{py.stdout}")
    if while_kept:
        while_kept(port, p.pid)

    os.kill(p.pid, sig)
    if sig == signal.SIGKILL:
        p.wait(timeout=60)
        # the camera goes with its script, and with it the tree's lock
        check(wait_until(lambda: pid is None or not os.path.exists(f"/proc/{pid}")),
              "keep: the controller outlived its killed script")
        check(wait_until(lambda: not running_with(state)), f"keep: left running: {running_with(state)}")
        return out
    rest, _ = p.communicate(timeout=60)
    out += rest
    check(p.returncode == 0, f"keep: status {p.returncode} after signal {sig}:\n{out}")
    check(pid is None or not os.path.exists(f"/proc/{pid}"), "keep: the controller outlived the run")
    return out


def main():
    source, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    tmp = tempfile.mkdtemp(prefix="run-camera-test.")
    try:
        copy = os.path.join(tmp, "repo")
        shutil.copytree(source, copy, symlinks=True,
                        ignore=lambda d, names: [n for n in names if d == source and (n.startswith("build") or n == ".git")])
        script = os.path.join(copy, "scripts", "run-camera.sh")

        # first run: the default camera tree of the copy
        rc, out = run(script, "--build", build)
        check(rc == 0, f"first run: status {rc}:\n{out}")
        check_report(out, "first run")
        tree = os.path.join(copy, "build", "camera-run")
        first = sorted(os.listdir(os.path.join(tree, "sdcard")))
        photos = [f for f in first if f.startswith("IMG_")]
        check(len(photos) == 1, f"first run: photos {first}")
        if photos:
            check(jpeg_size(os.path.join(tree, "sdcard", photos[0])) == (2880, 1440), "first run: not a 2880x1440 JPEG")
            check(os.path.join(tree, "sdcard", photos[0]) in out, "first run: the photo is not named")
        check(os.path.getsize(os.path.join(tree, "screen.png")) > 0, "first run: no screen picture")
        check(os.path.join(tree, "build.log") in out and os.path.getsize(os.path.join(tree, "build.log")) > 0,
              "first run: the build log is not named or empty")

        # second run: the first photo is still there, the report names the new one
        rc, out = run(script, "--build", build)
        check(rc == 0, f"second run: status {rc}:\n{out}")
        second = sorted(f for f in os.listdir(os.path.join(tree, "sdcard")) if f.startswith("IMG_"))
        check(len(second) == 2 and set(photos) <= set(second), f"second run: card holds {second}")
        new = [f for f in second if f not in photos]
        check(new and os.path.join(tree, "sdcard", new[0]) in out and "2 on the card" in out,
              f"second run: report:\n{out}")
        check(not photos or f"   {os.path.join(tree, 'sdcard', photos[0])}" not in out,
              "second run: an earlier photo listed as taken")

        # the camera keeps its /etc: the file counter goes on after the card
        # is emptied; --factory starts anew with an empty card
        check(open(os.path.join(tree, "etc", "cnt.conf")).read().strip() == "2", "second run: counter not 2")
        for f in os.listdir(os.path.join(tree, "sdcard")):
            os.unlink(os.path.join(tree, "sdcard", f))
        id_conf = os.path.join(tree, "etc", "ID.conf")
        factory_id = open(id_conf).read()
        open(id_conf, "w").write("PANO99887766\n")  # an id set in an earlier run
        rc, out = run(script, "--build", build)
        check(rc == 0 and card_photos(os.path.join(tree, "sdcard")) == ["IMG_000003@3K.pnop"],
              f"third run: status {rc}, card {card_photos(os.path.join(tree, 'sdcard'))}:\n{out}")
        check(open(id_conf).read() == "PANO99887766\n", "third run: the camera's id went")
        rc, out = run(script, "--help")
        check(rc == 0 and "--factory" in out, f"--help names no --factory:\n{out}")
        rc, out = run(script, "--build", build, "--factory")
        check(rc == 0 and card_photos(os.path.join(tree, "sdcard")) == ["IMG_000001@3K.pnop"],
              f"--factory: status {rc}, card {card_photos(os.path.join(tree, 'sdcard'))}:\n{out}")
        check(open(id_conf).read() == factory_id, "--factory: not the factory id")

        # a kept camera's port held by another program: refused at once,
        # nothing left running, by the main command and by sim/vcam
        held = socket.socket()
        held.bind(("127.0.0.1", 0))
        held.listen()
        hport = held.getsockname()[1]
        hstate = os.path.join(tmp, "held")
        rc, out = run(script, "--keep", str(hport), "--state", hstate, "--build", build, timeout=120)
        check(rc not in (0, None) and f"127.0.0.1:{hport}" in out and "kept running" not in out and "install" not in out,
              f"held port: status {rc}:\n{out}")
        check(not running_with(hstate), f"held port: left running {running_with(hstate)}")
        rc, out = run(os.path.join(copy, "sim", "vcam"), "--build", build, "--forward", str(hport), "--", "true",
                      timeout=120)
        check(rc == 2 and f"127.0.0.1:{hport}" in out, f"sim/vcam held port: status {rc}:\n{out}")
        check(not running_with(f"127.0.0.1 {hport}"), "sim/vcam held port: a forwarder left running")
        held.close()

        # the panel as text into a reader that stops early: no write error
        screen = subprocess.run([os.path.join(copy, "sim", "vcam"), "--build", build, "--lenses", "0", "--",
                                 "/bin/bash", "-c", "trap '' PIPE; vcam-screen --raw | head -n 1"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
        check(screen.stdout.startswith("lit ") and "error" not in screen.stderr,
              f"vcam-screen --raw | head: {screen.stdout!r} {screen.stderr!r}")

        # kept cameras, in a tree whose name a shell would misread
        state = os.path.join(tmp, "state $(touch owned) 'x'")

        def second_run(port, script_pid):
            # one run at a time on a tree: refused, the kept camera untouched
            rc, out = run(script, "--state", state, "--build", build)
            check(rc not in (0, None) and "in use" in out and f"kill {script_pid}" in out and "install" not in out,
                  f"second run on a kept tree: status {rc}:\n{out}")
            check(os.path.exists(os.path.join(state, "fwd", "fwd.sock")), "second run: the kept camera's socket went")
            with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
                s.sendall(b'{"cmd":"heartTest"}\n')
                check(s.makefile().readline().strip() == '{"type":"heartTestResult","code":true}',
                      "second run: the kept camera does not answer")

        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGKILL):
            out = keep_run(script, state, build, sig, second_run if sig == signal.SIGTERM else None)
            if out and sig != signal.SIGKILL:
                check("3 taken this run" in out, f"keep: the photos taken are not all listed:\n{out}")
        check(not os.path.exists(os.path.join(copy, "owned")) and not os.path.exists("owned"),
              "a folder name ran as a command")
        # the lock went with the killed run; the counter went on throughout
        rc, out = run(script, "--state", state, "--build", build)
        check(rc == 0, f"after a killed run: status {rc}:\n{out}")
        kept = card_photos(os.path.join(state, "sdcard"))
        check(kept == [f"IMG_{n:06d}@3K.pnop" for n in range(1, 11)], f"keep: card holds {kept}")

        # a folder that is not a camera tree is left alone
        other = os.path.join(tmp, "notes")
        os.mkdir(other)
        open(os.path.join(other, "todo.txt"), "w").write("keep me\n")
        rc, out = run(script, "--build", build, "--state", other)
        check(rc == 2 and "not a camera tree" in out, f"foreign folder: status {rc}:\n{out}")
        check(open(os.path.join(other, "todo.txt")).read() == "keep me\n", "foreign folder: a file went")
        rc, out = run(script, "--keep", "0")
        check(rc == 2, f"--keep 0: status {rc}")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if failures:
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
