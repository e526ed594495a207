#!/usr/bin/env python3
"""The node bridge's doors on the real headless clock (null audio): --node listen:0 with its key
and --node unix:PATH, tried by a second local user (nobody, through setpriv), by the owner, by a
web page in Debian's headless chromium posting text/plain to the bridge port, and with a key file
or a socket path that must not be trusted. Usage: node_bridge_test.py HORATONE
"""
import http.server
import json
import os
import re
import socket
import stat
import subprocess
import sys
import threading
import time

from clock_harness import BIN, Clock, fail, make_root, run, wait_for


def announcements(clock):
    return clock.log().count("announcement: ")


def transmit_lines(sock, seconds=15):
    """The TRANSMIT lines read until TRANSMIT 0 follows a TRANSMIT 1 (or the time is up)."""
    sock.settimeout(1)
    seen, buffer = [], b""
    end = time.monotonic() + seconds
    while time.monotonic() < end and not ("TRANSMIT 1" in seen and seen[-1] == "TRANSMIT 0"):
        try:
            chunk = sock.recv(4096)
        except socket.timeout:
            continue
        if not chunk:
            break
        buffer += chunk
        *lines, buffer = buffer.split(b"\n")
        seen += [line.decode() for line in lines if line.startswith(b"TRANSMIT")]
    return seen


def released_after_keying(seen):
    return "TRANSMIT 1" in seen and seen[-1] == "TRANSMIT 0"


# What the second local user tries, as nobody: read the key, connect to the socket, and send a
# code on the TCP port without the key. One JSON line of what each gave.
STRANGER = r"""
import errno, json, socket, sys
key, path, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
out = {}
try:
    open(key).read()
    out["key"] = "read"
except OSError as e:
    out["key"] = errno.errorcode[e.errno]
try:
    s = socket.socket(socket.AF_UNIX)
    s.connect(path)
    out["unix"] = "connected"
except OSError as e:
    out["unix"] = errno.errorcode[e.errno]
s = socket.create_connection(("127.0.0.1", port), timeout=10)
s.sendall(b"DTMF 123\n")
reply = b""
while True:
    chunk = s.recv(4096)
    if not chunk:
        break
    reply += chunk
out["tcp"] = reply.decode()
print(json.dumps(out))
"""


def doors_test(work):
    sock_path = os.path.join(work, "node.sock")
    key_path = os.path.join(work, "horatone-node.key")
    tcp = Clock(work, "tcp", node="listen:0")
    unix = Clock(work, "unix", node="unix:" + sock_path)
    try:
        port_text = wait_for("the TCP door", lambda: re.search(
            r"waiting for the node on 127\.0\.0\.1:(\d+)", tcp.log()))
        wait_for("the Unix door", lambda: "waiting for the node on " + sock_path in unix.log())
        if not port_text:
            return
        port = int(port_text.group(1))

        # The key and the socket belong to the system directory's owner and group.
        folder = os.stat(work)
        info = os.stat(key_path)
        if stat.S_IMODE(info.st_mode) != 0o640 or (info.st_uid, info.st_gid) != (
                folder.st_uid, folder.st_gid):
            fail("key file mode %o owner %d:%d" % (info.st_mode, info.st_uid, info.st_gid))
        info = os.stat(sock_path)
        if not stat.S_ISSOCK(info.st_mode) or stat.S_IMODE(info.st_mode) != 0o660 or \
                info.st_gid != folder.st_gid:
            fail("socket mode %o group %d" % (info.st_mode, info.st_gid))

        # The second local user.
        if os.geteuid() == 0:
            nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
            tried = subprocess.run(nobody + ["python3", "-c", STRANGER, key_path, sock_path,
                                             str(port)], capture_output=True, text=True,
                                   timeout=30)
            try:
                got = json.loads(tried.stdout)
            except ValueError:
                got = {}
                fail("the stranger's script: " + tried.stdout + tried.stderr)
            expected = {"key": "EACCES", "unix": "EACCES", "tcp": "ERROR not authorised\n"}
            if got and got != expected:
                fail("as nobody: %r, not %r" % (got, expected))
            shown = subprocess.run(nobody + [BIN, "node-key", "--root", work],
                                   capture_output=True, text=True, timeout=30)
            if shown.returncode != 1 or "Permission denied" not in shown.stderr or shown.stdout:
                fail("node-key as nobody: %d %r %r" % (shown.returncode, shown.stdout,
                                                        shown.stderr))
            wait_for("the refusal in the log", lambda: "refused a connection" in tcp.log())
        else:
            print("not root: the second local user's part is skipped", flush=True)
        if announcements(tcp) != 0:
            fail("a stranger's code was announced")

        # The owner: the key from node-key, AUTH, then the code; announced and released.
        shown = subprocess.run([BIN, "node-key", "--root", work], capture_output=True,
                               text=True, timeout=30)
        with open(key_path) as f:
            if shown.returncode != 0 or shown.stdout != f.read():
                fail("node-key for the owner: %d %r" % (shown.returncode, shown.stderr))
        node = socket.create_connection(("127.0.0.1", port), timeout=10)
        node.sendall(b"AUTH " + shown.stdout.strip().encode() + b"\nDTMF 123\n")
        seen = transmit_lines(node)
        if not released_after_keying(seen) or announcements(tcp) != 1:
            fail("the owner's code over TCP: %r, %d announcements" % (seen, announcements(tcp)))
        node.close()

        node = socket.socket(socket.AF_UNIX)
        node.connect(sock_path)
        node.sendall(b"DTMF 123\n")
        seen = transmit_lines(node)
        if not released_after_keying(seen) or announcements(unix) != 1:
            fail("the owner's code on the socket: %r" % seen)
        if not re.search(r"node connected from uid %d, pid \d+" % os.geteuid(), unix.log()):
            fail("the socket's peer is not logged")
        node.close()

        browser_test(work, tcp, port)
    finally:
        for clock in (tcp, unix):
            if clock.stop() != 0:
                fail(clock.log_path + ": the clock did not end with status 0 on SIGTERM")
    if os.path.lexists(sock_path):
        fail("the socket file is left after the clock ended")


def browser_test(work, clock, port):
    """A web site in the operator's browser posts a code to the bridge port."""
    site = os.path.join(work, "site")
    os.makedirs(site)
    with open(os.path.join(site, "attack.html"), "w") as page:
        page.write("<!doctype html><title>waiting</title><script>\n"
                   "fetch('http://127.0.0.1:%d/', {method: 'POST', mode: 'no-cors', "
                   "headers: {'Content-Type': 'text/plain'}, body: 'DTMF 123\\n'})\n"
                   "  .finally(() => { document.title = 'sent'; });\n</script>\n" % port)

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=site, **kwargs)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Quiet)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    refused = clock.log().count("refused a connection")
    said = announcements(clock)
    try:
        subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                        "--no-first-run", "--disable-extensions",
                        "--disable-background-networking",
                        "--user-data-dir=" + os.path.join(work, "chromium"),
                        "--virtual-time-budget=10000", "--dump-dom",
                        "http://127.0.0.1:%d/attack.html" % server.server_address[1]],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=90)
    except subprocess.TimeoutExpired:
        fail("chromium did not end")
    finally:
        server.shutdown()
    wait_for("the browser's request refused in the log",
             lambda: clock.log().count("refused a connection") > refused, seconds=10)
    lines = [line for line in clock.log().splitlines() if "refused a connection" in line]
    print("the browser's request: " + (lines[-1] if lines else "not seen"), flush=True)
    if not lines or "its first line is not AUTH" not in lines[-1]:
        fail("the browser's request was not refused for its first line")
    time.sleep(0.5)  # an announcement would have started by now; its absence is the check
    if announcements(clock) != said:
        fail("the web page's code was announced")


def untrusted_test(work):
    """A key file others may change, and a path that is not a socket: clear errors at start."""
    key_path = os.path.join(work, "horatone-node.key")
    os.chmod(key_path, 0o660)
    clock = Clock(work, "writable", node="listen:0")
    code = clock.proc.wait(timeout=30)
    if code != 1 or "may be changed by others than its owner (mode 0660)" not in clock.log():
        fail("a group-writable key: status %s, %s" % (code, clock.log()))
    os.chmod(key_path, 0o640)
    plain = os.path.join(work, "plain")
    with open(plain, "w") as f:
        f.write("keep")
    clock = Clock(work, "plain", node="unix:" + plain)
    code = clock.proc.wait(timeout=30)
    if code != 1 or "is a regular file, not a socket" not in clock.log():
        fail("a regular file as the socket: status %s, %s" % (code, clock.log()))
    with open(plain) as f:
        if f.read() != "keep":
            fail("the regular file was changed")


def main(work):
    # Others may reach the files inside, so that only each file's own mode keeps them out.
    os.chmod(work, 0o755)
    make_root(work, 0.1)
    doors_test(work)
    untrusted_test(work)


run("horatone-doors-", main)
