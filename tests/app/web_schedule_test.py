#!/usr/bin/env python3
"""The schedule from the web page, end to end: a real headless clock started just before a
minute, Debian's headless chromium sets an extra minute, UTC and an identification on the
page's Schedule tab, the file holds them and the clock speaks at that minute with the
identification last; a value the schedule refuses is refused on the page. Usage:
  web_schedule_test.py HORATONE
"""
import os
import signal
import subprocess

from clock_harness import BIN, fail, free_port, make_root, run, wait_for
from web_page_test import Chromium


def main(work):
    make_root(work, 0.2)
    voice = os.path.join(work, "C", "Program Files", "Horatone")
    subprocess.run(["sox", "-q", "-n", "-r", "22050", "-c", "1", "-b", "16",
                    os.path.join(voice, "Ident.wav"), "synth", "0.3", "sine", "660"], check=True)
    port = free_port()
    log_path = os.path.join(work, "clock.err")
    # A minute about 25 s ahead, in a zone other than the schedule's: the page's UTC must win.
    env = dict(os.environ, TZ="America/New_York")
    clock = subprocess.Popen(
        [BIN, "--headless", "--root", work, "--node", "sim", "--audio", "null",
         "--web", "127.0.0.1:%d" % port, "--start-at", "2026-12-06 09:57:35"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(log_path, "w"), env=env)
    log = lambda: open(log_path).read()
    browser = None
    try:
        wait_for("the clock to serve its page", lambda: "web page on" in log())
        browser = Chromium(work)
        browser.open("http://127.0.0.1:%d/" % port)
        wait_for("the settings form",
                 lambda: browser.js("!!document.getElementById('f_SCHEDULE.MINUTES')") is True)
        # The tab by its name in the page: its caption may come only with the first live status.
        tab = "document.querySelector('#tabs button[data-tab=schedule]')"
        browser.js(tab + ".click()")
        wait_for("the Schedule tab to show the schedule's fields", lambda: browser.js(
            "document.getElementById('f_SCHEDULE.QUIET').offsetParent!==null") is True)
        wait_for("the tab's caption", lambda: browser.js(tab + ".textContent") == "Schedule")

        # A refused value names its key, and nothing is written.
        with open(os.path.join(work, "Horatone.ini"), newline="") as ini:
            before = ini.read()
        browser.js("document.getElementById('f_SCHEDULE.QUIET').value='25:00-01:00';"
                   "$('save').click()")
        wait_for("the refusal", lambda: (browser.js("$('message').textContent") or "")
                 .startswith("Not saved"))
        if "SCHEDULE.QUIET" not in (browser.js("document.body.textContent") or ""):
            fail("the refusal does not name SCHEDULE.QUIET")
        with open(os.path.join(work, "Horatone.ini"), newline="") as ini:
            if ini.read() != before:
                fail("a refused save changed Horatone.ini")

        # UTC 14:58 is an extra minute; quiet hours that wrap midnight leave it alone.
        browser.js("""(()=>{const f=k=>document.getElementById('f_SCHEDULE.'+k);
            f('QUIET').value='22:00-06:00'; f('MINUTES').value='58'; f('ZONE').value='UTC';
            f('IDCLIP').value='Ident'; $('save').click();})()""")
        wait_for("the save", lambda: (browser.js("$('message').textContent") or "")
                 .startswith("Saved"))
        with open(os.path.join(work, "Horatone.ini"), newline="") as ini:
            text = ini.read()
        for line in ("[SCHEDULE]\r\n", "MINUTES=58\r\n", "ZONE=UTC\r\n", "IDCLIP=Ident\r\n",
                     "QUIET=22:00-06:00\r\n"):
            if line not in text:
                fail("Horatone.ini lacks " + line.strip() + ":\n" + text)
        wait_for("the extra minute's announcement",
                 lambda: "announcement: an extra minute" in log(), seconds=60)
        wait_for("the identification", lambda: "Ident.wav" in log(), seconds=20)
        spoken = log().split("announcement: an extra minute", 1)[1]
        clips = [line.rsplit("\\", 1)[-1] for line in spoken.splitlines() if " clip " in line]
        print("spoken at the extra minute:", clips, flush=True)
        if "14.wav" not in clips or "58.wav" not in clips or clips[-1] != "Ident.wav":
            fail("the announcement spoke %s, not 14:58 UTC and then the identification" % clips)

        # `config` changes the file and SIGHUP makes the clock read the section again.
        subprocess.run([BIN, "config", "--root", work, "set", "SCHEDULE.MINUTES", "59"],
                       check=True)
        clock.send_signal(signal.SIGHUP)
        wait_for("the re-read schedule", lambda: 'SCHEDULE.MINUTES "58" -> "59"' in log())
    finally:
        if browser:
            browser.close()
        clock.terminate()
        clock.wait(timeout=15)


run("horatone-schedule-", main)
