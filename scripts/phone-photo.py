#!/usr/bin/python3
"""Takes one photo as a phone app does: connects to the camera's port 8888,
sends "takePhoto" and waits until the camera is back on its photo screen.
Prints every line the camera sends. Exit status 0 when the photo was taken."""
import json
import socket
import sys
import time

HOST, PORT = "127.0.0.1", 8888


def connect(deadline):
    while True:
        try:
            return socket.create_connection((HOST, PORT), timeout=2)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


def main():
    try:
        sock = connect(time.monotonic() + 20)
    except OSError as e:
        print(f"phone: cannot reach the camera: {e}", file=sys.stderr)
        return 1
    sock.settimeout(1)
    sock.sendall(b'{"cmd":"takePhoto","data":{}}\n')
    print('phone -> {"cmd":"takePhoto","data":{}}')
    buf = b""
    accepted = busy = False
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            chunk = sock.recv(4096)
        except socket.timeout:
            continue
        if not chunk:
            print("phone: the camera closed the connection", file=sys.stderr)
            return 1
        buf += chunk
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            if not line:
                continue
            print("phone <- " + line.decode(errors="replace"))
            try:
                msg = json.loads(line)
            except ValueError:
                continue
            kind = msg.get("type")
            if kind == "takePhotoResult":
                if not msg.get("code"):
                    print(f"phone: photo refused: {msg.get('what')}", file=sys.stderr)
                    return 1
                accepted = True
            elif kind == "stateChanged":
                mode = msg.get("data", {}).get("mode")
                if mode == 1:
                    busy = True
                elif busy and accepted:
                    # the busy photo screen has gone: the photo is written, or
                    # the camera shows its error screen
                    return 0
    print("phone: no answer in time", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
