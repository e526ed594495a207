#!/usr/bin/env python3
"""The web page's doors, tried as a hostile client would over raw sockets, against the real
headless clock: foreign Host names, slow and flooding headers, password guessing from one
address while another logs in, a NUL in a value, the longest legitimate save, logging out,
blank passwords, a password file others may read, and HTTPS off loopback with the
certificate's fingerprint. Usage: web_doors_test.py HORATONE
"""
import hashlib
import os
import re
import socket
import ssl
import stat
import subprocess
import sys
import threading
import time
import urllib.parse

from clock_harness import BIN, Clock, fail, free_port, run, wait_for, write_quiet_settings
from clock_harness import http_request as request


# The attacks come from another local user when the test runs as root.
STRANGER = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] \
    if os.geteuid() == 0 else []

SLOW = """
import socket, sys, time
port = int(sys.argv[1])
slow = []
for _ in range(8):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(b"GET / HTTP/1.1\\r\\nHost: 127.0.0.1:%d\\r\\n" % port)
    slow.append(s)
print("open", flush=True)
sys.stdin.readline()
# On until the server has let every one of them go (or a minute has passed).
dropped = set()
for n in range(60):
    time.sleep(1)
    for s in slow:
        try:
            s.sendall(b"X-Slow-%d: 1\\r\\n" % n)
        except OSError:
            dropped.add(s)
    if len(dropped) == len(slow):
        break
print("dropped %d" % len(dropped), flush=True)
"""

FLOOD = """
import socket, sys
port = int(sys.argv[1])
flood = socket.create_connection(("127.0.0.1", port), timeout=20)
reply = b""
try:
    flood.sendall(b"GET / HTTP/1.1\\r\\nHost: 127.0.0.1:%d\\r\\n" % port)
    for _ in range(700):
        flood.sendall(b"X-a: b\\r\\n" * 1000)
except OSError:
    pass
try:
    reply = flood.recv(4096)
except OSError:
    pass
sys.stdout.write(reply[:40].decode("latin-1"))
"""


def stranger(script, port, **kwargs):
    return subprocess.Popen(STRANGER + [sys.executable, "-c", script, str(port)],
                            stdout=subprocess.PIPE, text=True, **kwargs)


def page_token(port, **kwargs):
    status, _, body = request(port, **kwargs)
    found = re.search(rb'TOKEN="([0-9a-f]+)"', body)
    return found.group(1).decode() if found else None


def form(values):
    return urllib.parse.urlencode(values).encode()


def settings(port, cookie=None):
    import json
    status, _, body = request(port, path="/settings", headers={"Cookie": cookie} if cookie else {})
    return json.loads(body) if status == 200 else None


def loopback_test(work):
    port = free_port()
    clock = Clock(work, "loopback", web="127.0.0.1:%d" % port)
    try:
        # Only the loopback names, with the port, reach the page; a rebound name gets 421
        # and never the token.
        for host in ("127.attacker.example:%d" % port, "127.0.0.1.rebind.attacker.example:%d" % port,
                     "localhost.attacker.example:%d" % port, "127.0.0.2:%d" % port,
                     "127.0.0.1", "127.0.0.1:%d" % (port + 1), ""):
            status, _, body = request(port, headers={"Host": host})
            if status not in ((400, 421) if not host else (421,)) or b"TOKEN" in body:
                fail("Host %r got %d" % (host, status))
        for host in ("127.0.0.1:%d" % port, "localhost:%d" % port, "[::1]:%d" % port):
            if request(port, headers={"Host": host})[0] != 200:
                fail("Host %r was refused" % host)
        token = page_token(port)

        # Eight connections that send a header line now and then: the page still answers.
        # And they do not stay: a request's headers have a time to come in.
        slow = stranger(SLOW, port, stdin=subprocess.PIPE)
        try:
            if slow.stdout.readline().strip() != "open":
                fail("the slow connections could not be opened")
            answered = sum(1 for _ in range(12) if request(port)[0] == 200)
            slow.stdin.write("go\n")
            slow.stdin.flush()
            dropped = slow.stdout.readline().strip()
        finally:
            slow.kill()
            slow.wait()
        if answered != 12:
            fail("with 8 slow connections open the page answered %d of 12" % answered)
        if dropped != "dropped 8":
            fail("the slow connections were not let go: " + dropped)

        # 700 000 headers on one connection: refused, and the clock's memory stays bounded.
        before = clock.rss_kb()
        flood = stranger(FLOOD, port)
        reply = flood.communicate(timeout=120)[0]
        after = clock.rss_kb()
        print("RSS before / after the header flood: %d / %d kB; answer %r" %
              (before, after, reply), flush=True)
        if after > before + 16 * 1024:
            fail("a header flood grew the clock from %d to %d kB" % (before, after))
        if reply and not reply.startswith(("HTTP/1.1 431", "HTTP/1.1 413", "HTTP/1.1 400")):
            fail("a header flood was answered %r" % reply)
        if request(port)[0] != 200:
            fail("the page does not answer after the header flood")

        # A NUL in a value is refused with its key, like a line break, and spoils nothing.
        revision = settings(port)["revision"]
        status, _, body = request(port, "POST", "/settings", {"X-Horatone-Token": token},
                                  b"_revision=" + revision.encode() + b"&TEXT9=a%00b")
        if status != 422 or b"TEXT9 holds a NUL byte" not in body:
            fail("a NUL byte got %d %r" % (status, body[:200]))
        status, _, body = request(port, "POST", "/settings", {"X-Horatone-Token": token},
                                  form({"_revision": settings(port)["revision"],
                                        "DTMFTIME": "789"}))
        with open(os.path.join(work, "Horatone.ini"), newline="") as ini:
            saved = ini.read()
        if status != 200 or "DTMFTIME=789\r\n" not in saved:
            fail("the save after a refused NUL: %d %r" % (status, body[:200]))

        # Every language text at its longest in Cyrillic (255 letters, 510 bytes) is saved.
        current = settings(port)
        texts = [f["key"] for f in current["fields"] if f["tab"] == "language"]
        values = {"_revision": current["revision"]}
        for n, key in enumerate(texts):
            values[key] = ("Время" * 51)[:254] + chr(0x410 + n % 32)
        status, _, body = request(port, "POST", "/settings", {"X-Horatone-Token": token},
                                  form(values))
        with open(os.path.join(work, "Horatone.ini"), encoding="utf-8", newline="") as ini:
            saved = ini.read()
        missing = [k for k in texts if "%s=%s\r\n" % (k, values[k]) not in saved]
        if len(texts) < 28 or status != 200 or missing:
            fail("the long Cyrillic save of %d texts: %d %r, not in the file: %s" %
                 (len(texts), status, body[:200], missing[:3]))
    finally:
        if clock.stop() != 0:
            fail("the loopback clock did not end with status 0")


def password_test(work):
    # A password of blanks is no password.
    blank = subprocess.run([BIN, "web-password", "--root", work], input=" " * 12 + "\n",
                           text=True, capture_output=True)
    if blank.returncode != 1 or os.path.exists(os.path.join(work, "horatone-web.passwd")):
        fail("a blank password: status %d, %r" % (blank.returncode, blank.stderr))
    made = subprocess.run([BIN, "web-password", "--root", work], input="correct horse battery\n",
                          text=True, capture_output=True)
    printed = re.search(r"fingerprint: ([0-9A-F:]{95})", made.stderr)
    if made.returncode != 0 or not printed:
        fail("web-password: status %d, %r" % (made.returncode, made.stderr))
    key_mode = stat.S_IMODE(os.stat(os.path.join(work, "horatone-web.key")).st_mode)
    if key_mode != 0o600:
        fail("the key has mode %o" % key_mode)

    if STRANGER:
        os.chmod(work, 0o755)  # as a system directory is: only the files' own modes guard them
        for name in ("horatone-web.key", "horatone-web.passwd"):
            peek = subprocess.run(STRANGER + ["cat", os.path.join(work, name)],
                                  capture_output=True)
            if peek.returncode == 0:
                fail("another user can read " + name)

    # A password file that others may read stops the start.
    password_file = os.path.join(work, "horatone-web.passwd")
    os.chmod(password_file, 0o644)
    port = free_port()
    refused = subprocess.run([BIN, "--headless", "--root", work, "--audio", "null", "--web",
                              "127.0.0.1:%d" % port], capture_output=True, text=True, timeout=20)
    if refused.returncode != 2 or "chmod 600" not in refused.stderr:
        fail("a world-readable password file: status %d, %r" %
             (refused.returncode, refused.stderr))
    os.chmod(password_file, 0o600)

    clock = Clock(work, "locked", web="127.0.0.1:%d" % port)
    try:
        token = page_token(port)
        good = form({"password": "correct horse battery"})
        wrong = form({"password": "wrong guess"})
        # Eight wrong guesses at once, then forty more: each is answered, the locked ones with
        # 429 and Retry-After, and the page stays up.
        answers = []

        def guess():
            answers.append(request(port, "POST", "/login", {"X-Horatone-Token": token}, wrong))
        guessers = [threading.Thread(target=guess) for _ in range(8)]
        for t in guessers:
            t.start()
        for t in guessers:
            t.join()
        for _ in range(40):
            answers.append(request(port, "POST", "/login", {"X-Horatone-Token": token}, wrong))
        codes = [a[0] for a in answers]
        locked = [a for a in answers if a[0] == 429]
        if set(codes) - {403, 429} or len(locked) < 40 or \
                not all(a[1].get("retry-after", "").isdigit() for a in locked):
            fail("48 wrong guesses were answered %s" % sorted(set(codes)))
        if request(port)[0] != 200:
            fail("the page is down while an address is locked")
        # Another address is not slowed: it logs in at once.
        status, headers, _ = request(port, "POST", "/login", {"X-Horatone-Token": token}, good,
                                     source="127.0.0.2")
        cookie = headers.get("set-cookie", "").split(";", 1)[0]
        if status != 200 or not cookie:
            fail("a login from 127.0.0.2 while 127.0.0.1 is locked got %d" % status)
        # Logging out ends the session.
        if settings(port, cookie) is None:
            fail("the session does not open the settings")
        status, headers, _ = request(port, "POST", "/logout",
                                     {"X-Horatone-Token": token, "Cookie": cookie})
        if status != 200 or "Max-Age=0" not in headers.get("set-cookie", ""):
            fail("logout: %d %r" % (status, headers))
        if request(port, path="/settings", headers={"Cookie": cookie})[0] != 401:
            fail("the session still opens the settings after logging out")
    finally:
        if clock.stop() != 0:
            fail("the locked clock did not end with status 0")
    return printed.group(1) if printed else None


def https_test(work, fingerprint):
    # Off loopback (here every address, reached through 127.0.0.1) the page is HTTPS with the
    # certificate web-password named; plain HTTP gets no page.
    port = free_port()
    clock = Clock(work, "network", web="0.0.0.0:%d" % port)
    try:
        if "web page on https://0.0.0.0:%d/" % port not in clock.log() or \
                "SHA-256 fingerprint " + str(fingerprint) not in clock.log():
            fail("the start's log does not name HTTPS and the fingerprint " + str(fingerprint))
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        with context.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=20)) as s:
            served = hashlib.sha256(s.getpeercert(binary_form=True)).hexdigest().upper()
        if ":".join(served[i:i + 2] for i in range(0, 64, 2)) != fingerprint:
            fail("the served certificate's fingerprint is %s, not %s" % (served, fingerprint))
        status, _, body = request(port, tls=True, headers={"Host": "node.example:%d" % port})
        if status != 200 or b'data-mode="login"' not in body:
            fail("HTTPS: %d" % status)
        token = page_token(port, tls=True)
        status, headers, _ = request(port, "POST", "/login", {"X-Horatone-Token": token},
                                     form({"password": "correct horse battery"}), tls=True)
        if status != 200 or "Secure" not in headers.get("set-cookie", ""):
            fail("an HTTPS login: %d %r" % (status, headers.get("set-cookie")))
        if request(port)[0] != 0:
            fail("plain HTTP off loopback was answered")
    finally:
        if clock.stop() != 0:
            fail("the network clock did not end with status 0")


def main(work):
    write_quiet_settings(work)
    loopback_test(work)
    fingerprint = password_test(work)
    https_test(work, fingerprint)


run("horatone-doors-", main)
