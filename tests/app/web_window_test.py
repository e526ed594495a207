#!/usr/bin/env python3
"""The window's controls on the web page, end to end: a real headless clock on the simulated
node (null audio, its on-air capture in a file) and Debian's headless chromium using the page
as an operator would. Usage: web_window_test.py HORATONE"""
import json
import os
import signal
import struct
import subprocess
import sys
import urllib.parse
import wave

from chromium import Chromium, get, post
from clock_harness import Clock, fail, free_port, make_root, run, wait_for, write_quiet_settings

# The attacks come from another local user when the test runs as root.
STRANGER = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] \
    if os.geteuid() == 0 else []

USES = ["window/bar", "window/click", "window/about", "node/dtmf", "node/chat", "node/busy",
        "node/close"]


def text(browser, element):
    return browser.js("$(%s).textContent" % json.dumps(element)) or ""


def status(browser):
    return json.loads(browser.js(
        "JSON.stringify({a:$('announcement').textContent,c:$('clip').textContent,"
        "tx:$('transmitter').textContent})"))


def drag(browser, bar, value):
    """What the operator's drag of a slider does: its value, then its input event."""
    browser.js("(()=>{const i=document.querySelector('[data-bar=%s]');i.value=%d;"
               "i.dispatchEvent(new Event('input',{bubbles:true}));"
               "i.dispatchEvent(new Event('change',{bubbles:true}));})()" % (bar, value))


def tones(capture):
    """The pitch of each tenth of a second of the capture that is not silent, in Hz, by its
    zero crossings."""
    with wave.open(capture) as w:
        rate, channels, frames = w.getframerate(), w.getnchannels(), w.readframes(w.getnframes())
    samples = struct.unpack("<%dh" % (len(frames) // 2), frames)[::channels]
    step, found = rate // 10, []
    for start in range(0, len(samples) - step, step):
        part = samples[start:start + step]
        if max(abs(x) for x in part) < 500:
            continue
        crossings = sum(1 for a, b in zip(part, part[1:]) if (a < 0) != (b < 0))
        found.append(crossings * 10 / 2)
    return found


def window_test(work):
    port = free_port()
    capture = os.path.join(work, "air.wav")
    with open(os.path.join(work, "Horatone.ini"), "a", newline="") as ini:
        ini.write("AMPM=1\r\n")
    clock = Clock(work, "clock", web="127.0.0.1:%d" % port, extra=["--capture", capture])
    browser = Chromium(work)
    base = "http://127.0.0.1:%d/" % port
    try:
        browser.open(base)
        wait_for("the page with its node panel",
                 lambda: browser.js("document.readyState") == "complete" and
                 browser.js("$('nodecard').hidden") is False and
                 browser.js("$('settings').children.length") == 4)

        # 1. A DTMF code from the node panel announces; the speed bar in Details, moved
        # during the announcement, doubles the rate of the clip under way: its tone goes from
        # 440 Hz to 880 Hz on the air.
        browser.js("$('dtmf').value='123'; $('dtmfsend').click()")
        wait_for("the code's announcement", lambda: "announcement: DTMF code" in clock.log())
        wait_for("a clip heard for a while", lambda: status(browser)["c"].endswith(".wav") and
                 float(text(browser, "t_Text2") or 0) >= 0.9)
        drag(browser, "V2", 200)
        wait_for("the speed to show", lambda: text(browser, "v_V2") == "200%")
        # The last clip stays shown, under way and keyed, while it is heard.
        wait_for("the last clip shown while it plays",
                 lambda: (lambda s: s["c"] in ("AM.wav", "PM.wav") and s["a"] == "under way"
                          and s["tx"] == "keyed")(status(browser)))
        wait_for("the announcement to end", lambda: status(browser)["a"] == "none" and
                 status(browser)["tx"] == "released", 40)
        if "Transmitting" in text(browser, "nodetx") or "Transmit 1" not in text(browser, "calls"):
            fail("the node panel does not show the node's calls: " + text(browser, "calls")[-200:])

        # 2. The busy flags: with Busy 2 set, Say The Time does nothing.
        browser.js("$('busy2').click()")
        wait_for("Busy 2 on the node", lambda: "web page: node/busy 2" in clock.log() and
                 browser.js("$('busy2').checked") is True)
        said = clock.log().count("announcement: Say The Time")
        browser.js("$('say').click()")
        wait_for("the press to reach the clock", lambda: "web page: Say The Time" in clock.log())
        browser.js("$('busy2').click()")
        wait_for("Busy 2 cleared", lambda: "Busy 2 cleared" in text(browser, "nodemessage") or
                 clock.log().count("web page: node/busy 2") >= 2)
        # A chat line with the version query is answered in chat.
        browser.js("$('chat').value='who are you /ver/'; $('chatsend').click()")
        wait_for("the version reply in the node's calls",
                 lambda: "Chat Horatone  v" in text(browser, "calls"))
        if clock.log().count("announcement: Say The Time") != said:
            fail("Say The Time announced on a busy channel")
        # Bad input: a message naming the field, nothing sent.
        browser.js("$('dtmf').value='12 3'; $('dtmfsend').click()")
        wait_for("the refusal of bad digits",
                 lambda: text(browser, "nodemessage").startswith("DTMF digits"))

        # 3. TEXT27 renames the page's button, through a save as in the window; TEXT34,
        # changed in the file and read again on SIGHUP, renames the page's Save.
        browser.js("$('f_TEXT27').value='Sag die Zeit ä';$('f_TEXT27')"
                   ".dispatchEvent(new Event('input',{bubbles:true}));$('save').click()")
        wait_for("the renamed button", lambda: text(browser, "say") == "Sag die Zeit ä")
        ini_path = os.path.join(work, "Horatone.ini")
        saved = open(ini_path, newline="", encoding="utf-8").read()
        if "TEXT27=Sag die Zeit ä\r\n" not in saved:
            fail("TEXT27 was not saved")
        with open(ini_path, "w", newline="", encoding="utf-8") as ini:
            ini.write(saved.replace("TEXT34=Save\r\n", "TEXT34=Sichern\r\n"))
        clock.proc.send_signal(signal.SIGHUP)
        wait_for("the renamed Save after SIGHUP", lambda: text(browser, "save") == "Sichern")
        wait_for("the form loaded again", lambda: browser.js("$('f_TEXT34').value") == "Sichern")

        # 4. The volume bar of the setup tab acts at once, as the window's: VOLSET follows it,
        # and the page's next save keeps it.
        drag(browser, "V1", -1500)
        wait_for("the volume text", lambda: browser.js(
            "document.querySelector('.volvalue').textContent") == "-1500")
        browser.js("$('save').click()")
        if not wait_for("the save with the volume", lambda: "VOLSET=-1500\r\n" in open(
                os.path.join(work, "Horatone.ini"), newline="", encoding="utf-8").read()):
            fail("the page said: " + text(browser, "message"))
            # "Defalt Voice 1" and a voice's Default run the window's handlers; the form follows.
        browser.js("$('f_TEXT5').value='C:\\\\Mine\\\\';"
                   "document.querySelector('[data-button=Command4]').click()")
        wait_for("voice 2's default folder in the form",
                 lambda: browser.js("$('f_TEXT5').value") == "C:\\HoraVoice\\M\\")

        # 5. About: the donation choice hands over the right link, which the page opens.
        browser.js("$('about').click()")
        wait_for("the About window", lambda: browser.js("$('aboutbox').hidden") is False and
                 text(browser, "abouttitle").startswith("Horatone"))
        browser.js("$('amount').value='Donation: $35.00';$('donate').click()")
        wait_for("a typed amount to open nothing",
                 lambda: "nothing was opened" in text(browser, "aboutmessage"))
        browser.call("Runtime.evaluate", {"expression": "$('amount').value='Donation: $30.00';"
                                          "$('donate').click()", "userGesture": True})
        wait_for("the About window to hide", lambda: browser.js("$('aboutbox').hidden") is True)
        opened = wait_for("the donation page opened in the browser", lambda: [
            t["url"] for t in browser.call("Target.getTargets", session=False)["targetInfos"]
            if "amount=$30.00" in urllib.parse.unquote(t["url"])])
        if not opened or not opened[0].startswith("https://"):
            fail("the donation link opened: %r" % opened)
        if "link not opened without a desktop: https://" not in clock.log():
            fail("the donation link did not go through the window's handler")

        # 6. Every new door refuses a request without the page's token, from a local user
        # and from a foreign web site in the browser; nothing happens.
        for path in USES:
            code, _, _ = post(base + path, None, b"name=SaveAndExit&digits=123")
            if code != 403:
                fail("POST /%s without the token got %d" % (path, code))
        if STRANGER:
            script = ("import sys,urllib.request as u\n"
                      "for p in sys.argv[1:]:\n"
                      " r=u.Request('%s'+p,data=b'name=SaveAndExit',method='POST')\n"
                      " try: u.urlopen(r); print(p,200)\n"
                      " except Exception as e: print(p,getattr(e,'code',e))\n" % base)
            out = subprocess.run(STRANGER + [sys.executable, "-c", script] + USES,
                                 capture_output=True, text=True, timeout=60).stdout
            if out.count(" 403") != len(USES):
                fail("another local user's POSTs: " + out)
        foreign = Chromium(work)
        try:
            foreign.open("data:text/html,<title>elsewhere</title>")
            for path in USES:
                foreign.js("fetch('%s%s',{method:'POST',mode:'no-cors',headers:{'Content-Type':"
                           "'application/x-www-form-urlencoded'},body:'name=SaveAndExit&"
                           "digits=123'}).catch(()=>0)" % (base, path))
        finally:
            foreign.close()
        if clock.proc.poll() is not None or "web page: window/click SaveAndExit" in clock.log():
            fail("a request without the token reached the clock")

        # 7. Save & Exit: saved, the clock ends, and the page says so.
        browser.js("$('f_DTMFTIME').value='246';$('saveexit').click()")
        wait_for("the page to say the clock has ended",
                 lambda: "has ended" in text(browser, "banner"))
        if clock.proc.wait(timeout=20) != 0:
            fail("Save & Exit did not end the clock with status 0")
        if "DTMFTIME=246\r\n" not in open(os.path.join(work, "Horatone.ini"), newline="",
                                          encoding="utf-8").read():
            fail("Save & Exit did not save")
    finally:
        browser.close()
        clock.stop()
    heard = tones(capture)
    normal = [f for f in heard if 400 <= f <= 480]
    doubled = [f for f in heard if 820 <= f <= 940]
    print("tenths of a second at 440 Hz: %d, at 880 Hz: %d" % (len(normal), len(doubled)),
          flush=True)
    if not normal or not doubled:
        fail("the speed bar did not double the pitch of the clip under way: %r" % heard[:80])


def phone_test(work):
    """At 390 px: no sideways scroll with an 86-character folder, the long language texts
    whole in their boxes, and the actions in view on every tab of the settings."""
    port = free_port()
    folder = ("C:\\HoraVoice\\" + "Sprecherin_Nummer_zwei_aus_dem_hohen_Norden_" * 2)[:85] + "\\"
    write_quiet_settings(work)
    with open(os.path.join(work, "Horatone.ini"), "a", newline="", encoding="utf-8") as ini:
        ini.write("TEXT5=%s\r\nOPTION4=True\r\nOPTION3=False\r\n" % folder)
    clock = Clock(work, "phone", web="127.0.0.1:%d" % port)
    browser = Chromium(work)
    try:
        browser.open("http://127.0.0.1:%d/" % port)
        browser.call("Emulation.setDeviceMetricsOverride",
                     {"width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
        wait_for("the page with the long folder",
                 lambda: browser.js("document.readyState") == "complete" and
                 len(folder) == 86 and folder in text(browser, "voices") and
                 folder == text(browser, "activefolder"))
        # A voice's colour agrees with its words: complete with clips to improve is not green,
        # a folder with clips missing is red.
        verdicts = json.loads(browser.js(
            "JSON.stringify([...$('voices').children].map(li=>[li.lastChild.textContent,"
            "li.lastChild.className]))"))
        for words, shade in verdicts[:2]:
            expected = "ok" if words == "complete" else "warn" if words.startswith(
                "complete") else "bad"
            if shade != expected:
                fail("the verdict %r is shown as %r" % (words, shade))
        if "missing" not in verdicts[1][0]:
            fail("voice 2's long folder is not said to be missing its clips: %r" % verdicts[1])
        for tab in ("setup", "voices", "language"):
            browser.js("document.querySelector('#tabs button[data-tab=%s]').click();"
                       "$('tabs').scrollIntoView()" % tab)
            width = browser.js("document.scrollingElement.scrollWidth")
            if width > 390:
                fail("the %s tab is %d px wide at 390 px" % (tab, width))
            where = json.loads(browser.js("JSON.stringify($('save').getBoundingClientRect())"))
            if where["top"] < 0 or where["bottom"] > 844:
                fail("Save is out of view on the %s tab: %r" % (tab, where))
        browser.js("document.querySelector('#tabs button[data-tab=language]').click()")
        for key in ("TEXT32", "TEXT36"):
            box = json.loads(browser.js(
                "(i=>JSON.stringify([i.scrollWidth,i.clientWidth,i.scrollHeight,i.clientHeight,"
                "i.value]))($('f_%s'))" % key))
            if box[0] > box[1] or box[2] > box[3] + 2 or len(box[4]) < 40:
                fail("%s does not show its whole text: %r" % (key, box))
        # The node panel's last button: the node closes, the clock ends, the page says so.
        browser.js("$('closenode').click()")
        wait_for("the page to say the node has closed",
                 lambda: "node has closed" in text(browser, "banner"))
        if clock.proc.wait(timeout=20) != 0:
            fail("closing the node did not end the clock with status 0")
        if "the node is closing" not in clock.log():
            fail("the clock's log does not say the node closed")
    finally:
        browser.close()
        if clock.stop() != 0:
            fail("the phone clock did not end with status 0")


def main(work):
    make_root(work, 1.5)
    window_test(work)
    phone_test(work)


run("horatone-window-", main)
