#!/usr/bin/env python3
"""The web page end to end: a real headless clock (bridge node on loopback TCP, null audio) and
Debian's chromium driven through its DevTools protocol on a pipe. Usage:
  web_page_test.py HORATONE                 the test
  web_page_test.py HORATONE --screenshots DIR   the page at desktop and phone widths, as PNG
"""
import base64
import json
import os
import socket
import subprocess
import sys
import time

from chromium import Chromium, get, post
from clock_harness import BIN, Clock, fail, free_port, make_root, run, wait_for


STATUS = "JSON.stringify({a:$('announcement').textContent,c:$('clip').textContent," \
         "t:$('time').textContent,tx:$('transmitter').textContent})"


def page_test(work):
    web_port, node_port = free_port(), free_port()
    clock = Clock(work, "clock", node="listen:%d" % node_port, web="127.0.0.1:%d" % web_port)
    node = wait_for("the node connection", lambda: try_connect(node_port))
    with open(os.path.join(work, "horatone-node.key"), "rb") as key:
        node.sendall(b"AUTH " + key.read().strip() + b"\n")
    browser = Chromium(work)
    try:
        base = "http://127.0.0.1:%d/" % web_port
        browser.open(base)
        wait_for("the live status", lambda: browser.js("document.readyState") == "complete" and
                 json.loads(browser.js(STATUS) or "{}").get("t", "-").find(":") == 2)

        # 1. "Say The Time" on the page: the status follows the announcement clip by clip.
        browser.js("$('say').click()")
        clips = set()

        def playing():
            status = json.loads(browser.js(STATUS))
            if status["a"] == "under way" and status["c"].endswith(".wav"):
                clips.add(status["c"])
            return len(clips) >= 2
        wait_for("the announcement's clips on the page", playing)
        wait_for("the announcement to end",
                 lambda: json.loads(browser.js(STATUS))["a"] == "none")
        print("clips seen on the page:", sorted(clips), flush=True)

        # 2. A new DTMF code from the settings form: in the file, then answered on the bridge.
        browser.js("$('f_DTMFTIME').value='456'; $('save').click()")
        message = wait_for("the save", lambda: browser.js("$('message').textContent").startswith(
            "Saved") and browser.js("$('message').textContent"))
        with open(os.path.join(work, "Horatone.ini"), newline="") as ini:
            if "DTMFTIME=456\r\n" not in ini.read():
                fail("Horatone.ini does not hold the new code (" + str(message) + ")")
        before = clock.log().count("announcement: DTMF code")
        node.sendall(b"DTMF 123\nDTMF 456\n")
        wait_for("the new code's announcement",
                 lambda: clock.log().count("announcement: DTMF code") == before + 1)
        wait_for("the status of the code's announcement",
                 lambda: json.loads(browser.js(STATUS))["a"] == "under way")

        # 3. A change without the page's token is refused and does nothing.
        said = clock.log().count("announcement: Say The Time")
        for token in (None, "0" * 32):
            status, _, _ = post(base + "say", token)
            if status != 403:
                fail("a POST with token %r got %d, not 403" % (token, status))
        status, _, _ = post(base + "settings", None, b"DTMFTIME=999")
        if status != 403:
            fail("a settings POST without the token got %d" % status)
        if clock.log().count("announcement: Say The Time") != said:
            fail("a refused request started an announcement")
        # A save on a revision that is not current is refused with a message.
        token = browser.js("TOKEN")
        status, _, body = post(base + "settings", token, b"_revision=0&DTMFTIME=999")
        if status != 409 or b"changed elsewhere" not in body:
            fail("a stale save got %d %s" % (status, body))
        # A site whose name points at 127.0.0.1 gets nothing from a loopback page.
        status, _, _ = post(base, method="GET", host="rebound.example:%d" % web_port)
        if status != 421:
            fail("a request for another host name got %d, not 421" % status)

        # 4. More pages than live streams: a page that was refused one gets it by itself once
        # the others have closed.
        streams = []
        for _ in range(8):
            s = socket.create_connection(("127.0.0.1", web_port), timeout=10)
            s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % web_port)
            if s.recv(12).startswith(b"HTTP/1.1 200"):
                streams.append(s)
            else:
                s.close()
                break
        browser.open(base)
        wait_for("the page to be refused its live status",
                 lambda: "trying again" in (browser.js("$('node').textContent") or ""))
        for s in streams:
            s.close()
        wait_for("the refused page's live status",
                 lambda: (browser.js("$('node').textContent") or "").startswith("listen"))

        # 5. The clock stops under the open page, which says so; a save says it was not
        # saved. Started again (a new token), the page finds it and its buttons work.
        if clock.stop() != 0:
            fail("the clock did not end with status 0 on SIGTERM with a page open")
        wait_for("the page to say the clock is gone",
                 lambda: "not answering" in (browser.js("$('banner').textContent") or ""))
        browser.js("$('save').click()")
        wait_for("a save to the stopped clock to say so",
                 lambda: (browser.js("$('message').textContent") or "").startswith(
                     "Not saved: The clock is not answering"))
        clock = Clock(work, "restarted", web="127.0.0.1:%d" % web_port)
        wait_for("the page to find the restarted clock",
                 lambda: browser.js("$('banner').hidden") is True)
        browser.js("$('say').click()")
        wait_for("Say The Time on the restarted clock",
                 lambda: "announcement: Say The Time" in clock.log())
    finally:
        # SIGTERM with the page still connected to the live status: the clock ends at once.
        if clock.stop() != 0:
            fail("the clock did not end with status 0 on SIGTERM")
        browser.close()
        node.close()


def rebinding_test(work):
    """A foreign name resolved to 127.0.0.1 (as DNS rebinding does) loads nothing: the page
    and every request from that origin get 421."""
    web_port = free_port()
    clock = Clock(work, "rebind", web="127.0.0.1:%d" % web_port)
    browser = Chromium(work, ["--host-resolver-rules=MAP rebind.attacker.example 127.0.0.1"])
    try:
        browser.open("http://rebind.attacker.example:%d/" % web_port)
        wait_for("the foreign name's answer", lambda: browser.js("document.readyState") ==
                 "complete" and "loopback" in (browser.js("document.body.textContent") or ""))
        if browser.js("typeof TOKEN") != "undefined":
            fail("the page was served under a foreign name")
        status = browser.js("fetch('/settings',{method:'POST',body:'DTMFTIME=0'})"
                            ".then(r=>r.status)")
        if status != 421:
            fail("a POST from the foreign origin got %r" % status)
        if "settings: changed" in clock.log():
            fail("a request from the foreign origin changed the settings")
    finally:
        browser.close()
        clock.stop()


def try_connect(port):
    try:
        return socket.create_connection(("127.0.0.1", port), timeout=2)
    except OSError:
        return None


def security_test(work):
    # Open to the network without a password: refused before anything starts.
    port = free_port()
    result = subprocess.run([BIN, "--headless", "--root", work, "--audio", "null",
                             "--web", "0.0.0.0:%d" % port], capture_output=True, text=True,
                            timeout=20)
    if result.returncode != 2 or "password" not in result.stderr:
        fail("a non-loopback bind without a password: status %d, %r" %
             (result.returncode, result.stderr))
    # With a password: nothing without logging in, a wrong password refused, the right one
    # gives a session cookie that is HttpOnly and SameSite=Strict.
    subprocess.run([BIN, "web-password", "--root", work], input="correct horse battery\n",
                   text=True, check=True, capture_output=True)
    mode = os.stat(os.path.join(work, "horatone-web.passwd")).st_mode & 0o777
    if mode != 0o600:
        fail("the password file has mode %o" % mode)
    clock = Clock(work, "locked", web="127.0.0.1:%d" % port)
    try:
        base = "http://127.0.0.1:%d/" % port
        status, page = get(base)
        token = page.split('let TOKEN="', 1)[1].split('"', 1)[0]
        if 'data-mode="login"' not in page or get(base + "settings")[0] != 401:
            fail("the page was shown without logging in")
        status, headers, _ = post(base + "login", token, b"password=wrong")
        if status != 403:
            fail("a wrong password was not refused")
        # The address is locked for a moment after a miss.
        if post(base + "login", token, b"password=correct+horse+battery")[0] != 429:
            fail("a login at once after a miss was not told to wait")
        time.sleep(int(headers.get("Retry-After", "1")) + 0.2)
        status, headers, _ = post(base + "login", token, b"password=correct+horse+battery")
        cookie = headers.get("Set-Cookie", "")
        if status != 200 or "HttpOnly" not in cookie or "SameSite=Strict" not in cookie:
            fail("login: %d %r" % (status, cookie))
        session = cookie.split(";", 1)[0]
        if get(base + "settings", session)[0] != 200:
            fail("the session does not open the settings")
        if post(base + "play", None, b"", session)[0] != 403:
            fail("a session without the token may change things")

        # In the browser: log in; the clock started again has forgotten the session, and the
        # page asks to log in again; logging out ends the session.
        browser = Chromium(work)
        try:
            browser.open(base)

            def log_in():
                wait_for("the login form", lambda: browser.js("document.readyState") ==
                         "complete" and browser.js("document.body.dataset.mode") == "login")
                browser.js("$('password').value='correct horse battery';"
                           "$('loginform').requestSubmit()")
                wait_for("the clock after logging in",
                         lambda: browser.js("document.readyState") == "complete" and
                         browser.js("document.body.dataset.mode") == "clock" and
                         browser.js("$('logout').hidden") is False)
            log_in()
            clock.stop()
            clock = Clock(work, "locked-again", web="127.0.0.1:%d" % port)
            log_in()
            browser.js("$('logout').click()")
            wait_for("the login form after logging out",
                     lambda: browser.js("document.body.dataset.mode") == "login")
            if browser.js("fetch('/settings').then(r=>r.status)") != 401:
                fail("the settings open after logging out")
        finally:
            browser.close()
    finally:
        if clock.stop() != 0:
            fail("the locked clock did not end with status 0")


def screenshots(work, folder):
    """Each tab of the settings at desktop and phone widths, and the About window, with an
    announcement under way on the simulated node."""
    web_port = free_port()
    clock = Clock(work, "clock", web="127.0.0.1:%d" % web_port)
    browser = Chromium(work)
    try:
        browser.open("http://127.0.0.1:%d/" % web_port)
        wait_for("the page", lambda: browser.js("document.readyState") == "complete" and
                 browser.js("$('voices').children.length") == 5 and
                 browser.js("$('nodecard').hidden") is False)
        os.makedirs(folder, exist_ok=True)
        shots = [("web-%s-%s" % (size, tab), width, height, size == "phone", tab)
                 for size, width, height in (("desktop", 1280, 800), ("phone", 390, 844))
                 for tab in ("setup", "voices", "language", "details")]
        shots.append(("web-desktop-about", 1280, 800, False, "about"))
        shots.append(("web-phone-about", 390, 844, True, "about"))
        for name, width, height, mobile, tab in shots:
            browser.call("Emulation.setDeviceMetricsOverride",
                         {"width": width, "height": height, "deviceScaleFactor": 1,
                          "mobile": mobile})
            # Each picture shows an announcement under way.
            if browser.js("$('announcement').textContent") != "under way":
                browser.js("$('say').click()")
                wait_for("the announcement", lambda: browser.js(
                    "$('announcement').textContent") == "under way" and
                    browser.js("$('clip').textContent").endswith(".wav"))
            if tab == "about":
                browser.js("$('about').click()")
                wait_for("the About window", lambda: browser.js("$('aboutbox').hidden") is False)
            elif tab == "details":
                browser.js("$('detailscard').scrollIntoView()")
            else:
                browser.js("document.querySelector('#tabs button[data-tab=%s]').click();"
                           "%s" % (tab, "window.scrollTo(0,0)" if not mobile and tab == "setup"
                                   else "$('settingscard').scrollIntoView()"))
            time.sleep(0.5)
            png = browser.call("Page.captureScreenshot", {"format": "png"})["data"]
            with open(os.path.join(folder, name + ".png"), "wb") as out:
                out.write(base64.b64decode(png))
            if tab == "about":
                browser.js("$('abouthide').click()")
                wait_for("the About window to hide",
                         lambda: browser.js("$('aboutbox').hidden") is True)
            browser.js("window.scrollTo(0,0)")
    finally:
        browser.close()
        clock.stop()


def main(work):
    make_root(work, 0.4)
    if len(sys.argv) > 3 and sys.argv[2] == "--screenshots":
        screenshots(work, sys.argv[3])
    else:
        page_test(work)
        rebinding_test(work)
        security_test(work)


if __name__ == "__main__":
    run("horatone-web-", main)
