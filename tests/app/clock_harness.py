"""What the end-to-end scripts share: the headless clock under test (its binary is the script's
first argument), a root folder with a voice of short tones, waiting without measuring, and the
report of the failures with the clocks' logs."""
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

BIN = sys.argv[1]
failures = []


def fail(what):
    print("FAIL: " + what, flush=True)
    failures.append(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, seconds=20):
    """Polls `check` until it gives something true; None after `seconds` (a failure, not a
    measure: the machine may be slow)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    fail("gave up waiting for " + what)
    return None


def write_quiet_settings(work):
    """No scheduled slot fires during a test; only the test starts announcements."""
    with open(os.path.join(work, "Horatone.ini"), "w", newline="") as ini:
        ini.write("[SETTINGS]\r\nONHOUR=0\r\nQUARTERHOUR=0\r\nHALFHOUR=0\r\nCHECK1=0\r\n")


def make_root(work, clip_seconds):
    voice = os.path.join(work, "C", "Program Files", "Horatone")
    os.makedirs(voice)
    stems = ["Blank", "DingDong", "DingDong2", "GoodMorning", "GoodAfternoon", "GoodEvening",
             "TheTimeIs", "Hour", "Minutes", "AM", "PM"] + ["%02d" % n for n in range(60)]
    for stem in stems:
        subprocess.run(["sox", "-q", "-n", "-r", "22050", "-c", "1", "-b", "16",
                        os.path.join(voice, stem + ".wav"), "synth", str(clip_seconds), "sine",
                        "440"], check=True)
    write_quiet_settings(work)


def http_request(port, method="GET", path="/", headers=None, body=b"", source="127.0.0.1",
                 tls=False, length=None, form=True):
    """(status, headers as a dict of lower-case names, body) of one HTTP/1.1 exchange over a raw
    socket from `source`; status 0 when the connection ended without an answer. `length` states
    another Content-Length than the body's; `form` sends a body as a form unless told its type."""
    raw = socket.create_connection(("127.0.0.1", port), timeout=20, source_address=(source, 0))
    conn = raw
    if tls:
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        conn = context.wrap_socket(raw)
    all_headers = {"Host": "127.0.0.1:%d" % port, "Connection": "close"}
    all_headers.update(headers or {})
    if body or method == "POST":
        all_headers["Content-Length"] = str(len(body) if length is None else length)
        if form:
            all_headers.setdefault("Content-Type", "application/x-www-form-urlencoded")
    head = "%s %s HTTP/1.1\r\n" % (method, path) + "".join(
        "%s: %s\r\n" % item for item in all_headers.items()) + "\r\n"
    reply = b""
    try:
        conn.sendall(head.encode() + body)
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            reply += chunk
    except OSError:
        pass
    finally:
        conn.close()
    if not reply.startswith(b"HTTP/1."):
        return 0, {}, reply
    head, _, rest = reply.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    names = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        names[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), names, rest


class Clock:
    """The headless clock on null audio, its log in WORK/NAME.err, `extra` arguments after the
    others; with `web`, started once it says it serves its page."""

    def __init__(self, work, name, node="sim", web=None, extra=()):
        self.log_path = os.path.join(work, name + ".err")
        args = [BIN, "--headless", "--root", work, "--node", node, "--audio", "null"]
        if web:
            args += ["--web", web]
        args += list(extra)
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(self.log_path, "w"))
        if web:
            wait_for(name + " to serve its page", lambda: "web page on" in self.log())

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def rss_kb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


def run(prefix, body):
    """Runs body(work) in a fresh folder; on failures prints each clock's log and exits 1."""
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        body(work)
    finally:
        if failures:
            for name in sorted(os.listdir(work)):
                if name.endswith(".err"):
                    print("--- " + name + "\n" + open(os.path.join(work, name)).read()[-3000:])
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        sys.exit(1)
    print("ok")
