"""Debian's chromium, headless, driven through its DevTools protocol on a pipe, for the
end-to-end scripts of the page."""
import json
import os
import subprocess
import tempfile
import time


class Chromium:
    """The browser with its DevTools protocol on fds 3 and 4 (NUL-ended JSON messages)."""

    def __init__(self, work, extra=()):
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()
        # Out of the way of 3 and 4, which the child's copies take.
        to_chrome_r, from_chrome_w = [fcntl_dup(fd) for fd in (to_chrome_r, from_chrome_w)]
        self.proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-extensions", "--disable-background-networking", "--hide-scrollbars",
             "--user-data-dir=" + tempfile.mkdtemp(prefix="chromium-", dir=work),
             "--remote-debugging-pipe"]
            + list(extra) + ["about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=lambda: (os.dup2(to_chrome_r, 3), os.dup2(from_chrome_w, 4)),
            close_fds=False)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.buffer = b""
        self.next_id = 0
        self.session = None

    def call(self, method, params=None, session=True, timeout=20):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.to_chrome, json.dumps(message).encode() + b"\0")
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            while b"\0" in self.buffer:
                raw, self.buffer = self.buffer.split(b"\0", 1)
                reply = json.loads(raw)
                if reply.get("id") == self.next_id:
                    if "error" in reply:
                        raise RuntimeError(method + ": " + json.dumps(reply["error"]))
                    return reply["result"]
            self.buffer += os.read(self.from_chrome, 1 << 20)
        raise RuntimeError(method + ": no answer")

    def open(self, url):
        target = self.call("Target.createTarget", {"url": url}, session=False)["targetId"]
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target, "flatten": True}, session=False)["sessionId"]

    def js(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        return result.get("result", {}).get("value")

    def close(self):
        self.proc.kill()
        self.proc.wait()
        os.close(self.to_chrome)
        os.close(self.from_chrome)


def fcntl_dup(fd):
    import fcntl
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return moved
