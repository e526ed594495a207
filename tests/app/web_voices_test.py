#!/usr/bin/env python3
"""The page's voice tools end to end: a real headless clock (simulated node, null audio, its air
captured) and Debian's headless chromium with a fake microphone that plays a WAV file. A clip
and the announcement heard in the page without keying anything; a clip put in from a file and
then heard on air; bad files refused by field; a recording trimmed and levelled as the voice
generator does it; a voice made with its progress; the doors tried by another local user and by
a foreign web site. Usage: web_voices_test.py HORATONE"""
import base64
import hashlib
import http.server
import json
import math
import os
import re
import socket
import subprocess
import sys
import threading
import time
import wave

from chromium import Chromium
from clock_harness import BIN, Clock, fail, free_port, http_request, make_root, run, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "..", "..", "tools", "make-voices")
STRANGER = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] \
    if os.geteuid() == 0 else []


def settled(browser, expression):
    """The value of `expression` in the page, None while the page is still being loaded."""
    try:
        return browser.js(expression)
    except RuntimeError:
        return None


def sox(*args):
    subprocess.run(["sox", "-q", "-n"] + list(args), check=True)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def mono(path):
    """The samples of a 16-bit WAV, channels averaged, full scale 1; and its rate."""
    with wave.open(path) as w:
        channels, rate = w.getnchannels(), w.getframerate()
        raw = w.readframes(w.getnframes())
    values = memoryview(raw).cast("h")
    return [sum(values[i:i + channels]) / channels / 32768.0
            for i in range(0, len(values), channels)], rate


def db(x):
    return 20 * math.log10(x) if x > 0 else -math.inf


def levels(path):
    """Peak and RMS (over the sound) in dBFS, and the silence before and after the sound in s;
    silence is below -50 dBFS, as the voice check has it."""
    samples, rate = mono(path)
    loud = [i for i, x in enumerate(samples) if abs(x) >= 10 ** (-50 / 20)]
    if not loud:
        return {"peak": -math.inf, "rms": -math.inf, "lead": len(samples) / rate,
                "trail": len(samples) / rate, "seconds": len(samples) / rate}
    sound = samples[loud[0]:loud[-1] + 1]
    return {"peak": db(max(abs(x) for x in samples)),
            "rms": db(math.sqrt(sum(x * x for x in sound) / len(sound))),
            "lead": loud[0] / rate, "trail": (len(samples) - 1 - loud[-1]) / rate,
            "seconds": len(samples) / rate}


def tone_blocks(path, hz, other_hz):
    """How many 50 ms blocks of the file are mostly the tone `hz` rather than `other_hz`."""
    samples, rate = mono(path)
    n = rate // 20

    def power(block, f):
        k = 2 * math.cos(2 * math.pi * f / rate)
        s1 = s2 = 0.0
        for x in block:
            s1, s2 = x + k * s1 - s2, s1
        return s1 * s1 + s2 * s2 - k * s1 * s2
    count = 0
    for start in range(0, len(samples) - n, n):
        block = samples[start:start + n]
        if max(abs(x) for x in block) < 0.01:
            continue
        if power(block, hz) > 10 * power(block, other_hz):
            count += 1
    return count


def request(port, method="GET", path="/", headers=None, body=b"", length=None):
    """(status, body) of one HTTP/1.1 exchange over a raw socket; 0 when none came."""
    status, _, reply = http_request(port, method, path, headers, body, length=length, form=False)
    return status, reply if status else b""


def announcement_ends(port):
    """Follows the page's live status until an announcement under way has ended."""
    events = socket.create_connection(("127.0.0.1", port), timeout=30)
    events.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
    seen, text = False, b""
    try:
        while True:
            chunk = events.recv(65536)
            if not chunk:
                return False
            text += chunk
            while b"\n\n" in text:
                event, text = text.split(b"\n\n", 1)
                for line in event.split(b"\n"):
                    if line.startswith(b"data: "):
                        announcing = json.loads(line[6:])["announcing"]
                        seen = seen or announcing
                        if seen and not announcing:
                            return True
    except OSError:
        return False
    finally:
        events.close()


# Another local user's try at every voice door: the codes, one a line.
STRANGE = r"""
import re, socket, sys
port = int(sys.argv[1])
def ask(method, path, headers="", body=b""):
    s = socket.create_connection(("127.0.0.1", port), timeout=20)
    s.sendall(("%s %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n%s"
               "Content-Length: %d\r\n\r\n" % (method, path, port, headers, len(body))).encode()
              + body)
    reply = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        reply += chunk
    return reply
token = re.search(rb'TOKEN="([0-9a-f]+)"', ask("GET", "/")).group(1).decode()
for header in ("", "X-Horatone-Token: %s\r\n" % token):
    for method, path, body in (("GET", "/voice/clip?voice=active&name=Hour", b""),
                               ("GET", "/voice/say", b""), ("GET", "/voice/make/progress", b""),
                               ("POST", "/voice/upload?voice=active&name=Hour", b"RIFF"),
                               ("POST", "/voice/make", b"folder=C:%5Cx&language=en&format=wav")):
        print(method, path, ask(method, path, header, body).split()[1].decode())
"""


def fixtures(work):
    files = {name: os.path.join(work, name) for name in
             ("tone.wav", "long.wav", "silent.wav", "mic.wav", "text.wav", "tone.mp3")}
    # A tone that no clip of the test voice has, faded so that the voice check finds no fault.
    sox("-r", "48000", "-c", "1", "-b", "16", files["tone.wav"], "synth", "0.5", "sine", "1000",
        "fade", "h", "0.1", "0.5", "0.1", "vol", "0.5")
    sox("-r", "8000", "-c", "1", "-b", "16", files["long.wav"], "synth", "12", "sine", "300")
    sox("-r", "48000", "-c", "1", "-b", "16", files["silent.wav"], "trim", "0", "1")
    # What the microphone hears: silence, a word (a tone) and silence again.
    sox("-r", "48000", "-c", "1", "-b", "16", files["mic.wav"], "synth", "0.6", "sine", "660",
        "vol", "0", ":", "synth", "0.8", "sine", "660", "fade", "q", "0.02", "0.8", "0.05", "vol",
        "0.3", ":", "synth", "1.6", "sine", "660", "vol", "0")
    with open(files["text.wav"], "w") as f:
        f.write("this is no sound at all\n")
    return files


def page_test(work, files):
    voice = os.path.join(work, "C", "Program Files", "Horatone")
    port = free_port()
    listened = os.path.join(work, "air-listening.wav")
    clock = Clock(work, "voices", web="127.0.0.1:%d" % port, extra=["--capture", listened])
    browser = Chromium(work, ["--use-fake-ui-for-media-stream",
                              "--use-fake-device-for-media-stream",
                              "--use-file-for-fake-audio-capture=%s%%noloop" % files["mic.wav"],
                              "--autoplay-policy=no-user-gesture-required"])
    try:
        base = "http://127.0.0.1:%d/" % port
        browser.open(base)
        wait_for("the voice tools", lambda: settled(browser, "document.readyState") == "complete"
                 and (settled(browser, "$('vt_language').options.length") or 0) > 0 and
                 (settled(browser, "$('voices').children.length") or 0) > 0)

        def message(box="vt_message"):
            return wait_for("the answer in #" + box, lambda: (lambda t: t not in ("", "…") and t)(
                browser.js("$('%s').textContent" % box) or ""))

        def verdict():
            return browser.js("$('voices').children[0].lastChild.textContent")

        # 1. Listen: one clip, then the announcement, in the page's audio element.
        browser.js("$('vt_voice').value='active';$('vt_name').value='TheTimeIs';"
                   "$('vt_listen').click()")
        seconds = wait_for("the clip in the page", lambda: browser.js(
            "$('vt_audio').src.startsWith('blob:')&&isFinite($('vt_audio').duration)"
            "&&$('vt_audio').duration"))
        if not seconds or abs(seconds - 0.4) > 0.05:
            fail("the clip heard in the page lasts %r s, not 0.4" % seconds)
        browser.js("$('vt_audio').removeAttribute('src');$('vt_say').click()")
        seconds = wait_for("the announcement in the page", lambda: browser.js(
            "$('vt_audio').src.startsWith('blob:')&&isFinite($('vt_audio').duration)"
            "&&$('vt_audio').duration"))
        if not seconds or seconds < 1.0:
            fail("the announcement heard in the page lasts %r s" % seconds)
        # The very samples of `horatone say` for the same minute.
        heard = browser.js(
            "fetch('/voice/say?at=14:25',{headers:{'X-Horatone-Token':TOKEN}})"
            ".then(r=>r.arrayBuffer()).then(b=>{const u=new Uint8Array(b);let s='';"
            "for(let i=0;i<u.length;i++)s+=String.fromCharCode(u[i]);return btoa(s);})")
        said = subprocess.run([BIN, "say", "--root", work, "--at", "14:25", "-"],
                              capture_output=True, timeout=60).stdout
        if base64.b64decode(heard or "") != said or len(said) < 1000:
            fail("the announcement from the page is not the one `horatone say` writes "
                 "(%d and %d bytes)" % (len(base64.b64decode(heard or "")), len(said)))

        # 2. A file put in from the page replaces the clip; the old one is kept; the verdict on
        # the voice follows at once.
        before_verdict = verdict()
        old = digest(os.path.join(voice, "TheTimeIs.wav"))

        def choose(path):
            document = browser.call("DOM.getDocument")["root"]["nodeId"]
            node = browser.call("DOM.querySelector",
                                {"nodeId": document, "selector": "#vt_file"})["nodeId"]
            browser.call("DOM.setFileInputFiles", {"files": [path], "nodeId": node})
            browser.js("$('vt_message').textContent='';$('vt_put').click()")
            return message()
        said = choose(files["tone.wav"])
        if "put in" not in said or digest(os.path.join(voice, "TheTimeIs.wav")) != \
                digest(files["tone.wav"]) or \
                digest(os.path.join(voice, "TheTimeIs.wav.bak")) != old:
            fail("the file put in from the page: %r" % said)
        def first_number(text):
            found = re.search(r"\d+", text or "")
            return int(found.group(0)) if found else -1
        wait_for("the voice's verdict to count one clip fewer to improve (%r)" % before_verdict,
                 lambda: first_number(verdict()) == first_number(before_verdict) - 1)

        # 3. Bad files: refused with the field named, the clip unchanged.
        kept = digest(os.path.join(voice, "Hour.wav"))
        browser.js("$('vt_name').value='Hour'")
        for path, field in ((files["text.wav"], "file:"), (files["long.wav"], "file:")):
            said = choose(path)
            if not said.startswith(field) or "bad" not in browser.js("$('vt_message').className"):
                fail("%s from the page: %r" % (os.path.basename(path), said))
        browser.js("const o=document.createElement('option');o.textContent='Hours';"
                   "$('vt_name').append(o);$('vt_name').value='Hours'")
        said = choose(files["tone.wav"])
        if not said.startswith("name:"):
            fail("a clip name that is none: %r" % said)
        with open(files["silent.wav"], "rb") as f:
            status, body = request(port, "POST", "/voice/upload?voice=active&name=Hour&kind="
                                   "recording", {"X-Horatone-Token": browser.js("TOKEN")},
                                   f.read())
        if status != 422 or not json.loads(body)["message"].startswith("recording:"):
            fail("a silent recording: %d %r" % (status, body))
        if digest(os.path.join(voice, "Hour.wav")) != kept or \
                os.path.exists(os.path.join(voice, "Hour.wav.bak")) or \
                [n for n in os.listdir(voice) if n.startswith(".")]:
            fail("a refused clip changed the voice folder: %s" % sorted(os.listdir(voice)))

        # 4. A recording through the fake microphone: trimmed and levelled as the generator
        # prepares a clip of its own, at the voice's loudness.
        browser.js("$('vt_name').value='Hour';$('vt_message').textContent='';"
                   "$('vt_record').click()")
        wait_for("the recording to start",
                 lambda: browser.js("$('vt_record').textContent") == "Stop recording")
        time.sleep(3)  # the microphone's file plays to its end: a word between silences
        browser.js("$('vt_record').click()")
        said = message()
        recorded = levels(os.path.join(voice, "Hour.wav"))
        # The generator on the microphone's own file, at the test voice's loudness (its clips
        # are full-scale tones, their RMS -3 dBFS).
        made = os.path.join(work, "generated.wav")
        subprocess.run([GENERATOR, "--clip", files["mic.wav"], made, "--loudness", "-3.01"],
                       check=True, capture_output=True)
        generated = levels(made)
        print("recorded:", said, {k: round(v, 3) for k, v in recorded.items()},
              "generator:", {k: round(v, 3) for k, v in generated.items()}, flush=True)
        if "recorded" not in said:
            fail("the recording was not put in: %r" % said)
        elif recorded["lead"] > 0.03 or recorded["trail"] > 0.03:
            fail("the recording keeps its silences: %r" % recorded)
        elif abs(recorded["rms"] - generated["rms"]) > 1.0 or recorded["peak"] > -0.9 or \
                abs(recorded["peak"] - generated["peak"]) > 1.0:
            fail("the recording is not levelled as the generator levels: %r, %r" %
                 (recorded, generated))
        elif not 0.5 < recorded["seconds"] < 1.2:
            fail("the recording is %.2f s long; the word was 0.8 s" % recorded["seconds"])

        # 5. A voice made from the page, with its progress; one at a time; bad folders refused.
        made_folder = os.path.join(work, "C", "HoraVoice", "Made")
        browser.js("$('vt_folder').value='C:\\\\HoraVoice\\\\Made\\\\';$('vt_language').value='en';"
                   "$('vt_engine').value='espeak-ng';$('vt_clips').value='TheTimeIs 00';"
                   "$('vt_make').click()")
        wait_for("the generator to start", lambda: (browser.js(
            "$('vt_makemessage').textContent") or "").startswith("making"))
        again = browser.js("fetch('/voice/make',{method:'POST',headers:{'X-Horatone-Token':TOKEN,"
                           "'Content-Type':'application/x-www-form-urlencoded'},body:"
                           "'folder=C:%5CHoraVoice%5COther&language=en&format=wav&clips=00'})"
                           ".then(r=>r.status)")
        wait_for("the voice to be made", lambda: (browser.js(
            "$('vt_makemessage').textContent") or "").startswith("made"), seconds=180)
        lines = browser.js("$('vt_lines').textContent") or ""
        if browser.js("$('vt_progress').value") != 100 or "2 of 2 clips" not in lines:
            fail("the progress of making a voice: %r" % lines)
        for name in ("TheTimeIs.wav", "00.wav"):
            if levels(os.path.join(made_folder, name))["seconds"] < 0.1:
                fail("the voice made from the page lacks " + name)
        if again != 409 or os.path.exists(os.path.join(work, "C", "HoraVoice", "Other")):
            fail("a second voice was started while the first was made (%r)" % again)
        for folder, field in (("C:\\\\..\\\\..\\\\tmp", "folder:"), ("/tmp/x", "folder:"),
                              ("C:\\\\HoraVoice\\\\X", "language:")):
            browser.js("$('vt_makemessage').textContent='';$('vt_folder').value='%s';"
                       "$('vt_language').append(new Option('xx'));" % folder +
                       ("$('vt_language').value='xx';" if field == "language:" else
                        "$('vt_language').value='en';") + "$('vt_make').click()")
            said = message("vt_makemessage")
            if not said.startswith(field):
                fail("making a voice in %s: %r" % (folder, said))

        # Nothing of this keyed the transmitter or reached the air.
        if browser.js("$('transmitter').textContent") != "released" or \
                "announcement:" in clock.log():
            fail("the voice tools keyed the transmitter: %s" % clock.log()[-500:])
        raw = socket.create_connection(("127.0.0.1", port), timeout=20)
        raw.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n" % port)
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = raw.recv(65536)
            if not chunk:
                break
            head += chunk
        raw.close()
        csp = [line for line in head.decode("latin-1").split("\r\n")
               if line.lower().startswith("content-security-policy")]
        if not csp or "default-src 'none'" not in csp[0] or "media-src blob:" not in csp[0]:
            fail("the page's CSP: %r" % csp)
    finally:
        if clock.stop() != 0:
            fail("the clock did not end with status 0")
        browser.close()
    air = levels(listened)
    if air["peak"] != -math.inf:
        fail("the air carried sound while the page listened: peak %.1f dBFS" % air["peak"])

    # 6. The clip put in from the page is heard on air in the next announcement.
    port = free_port()
    spoken = os.path.join(work, "air-spoken.wav")
    clock = Clock(work, "spoken", web="127.0.0.1:%d" % port, extra=["--capture", spoken])
    try:
        token = re.search(rb'TOKEN="([0-9a-f]+)"', request(port)[1]).group(1).decode()
        request(port, "POST", "/say", {"X-Horatone-Token": token})
        wait_for("the announcement", lambda: "announcement: Say The Time" in clock.log())
        if not announcement_ends(port):
            fail("the announcement did not end")
    finally:
        clock.stop()
    blocks = tone_blocks(spoken, 1000, 440)
    print("50 ms blocks of the new clip's tone on air:", blocks, flush=True)
    if blocks < 6:
        fail("the clip put in from the page was not heard on air (%d blocks of its tone)" % blocks)


def doors_test(work):
    """A foreign site in chromium, and another local user against a clock with a password."""
    port = free_port()
    clock = Clock(work, "doors", web="127.0.0.1:%d" % port)
    voice = os.path.join(work, "C", "Program Files", "Horatone")
    kept = digest(os.path.join(voice, "Minutes.wav"))
    site_root = os.path.join(work, "site")
    os.makedirs(site_root)
    with open(os.path.join(site_root, "index.html"), "w") as f:
        f.write("<!doctype html><p>a foreign site</p>")
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args):
            super().__init__(*args, directory=site_root)

        def log_message(self, *args):
            pass
    handler = Quiet
    site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=site.serve_forever, daemon=True).start()
    browser = Chromium(work, ["--autoplay-policy=no-user-gesture-required"])
    try:
        browser.open("http://localhost:%d/" % site.server_address[1])
        wait_for("the foreign site",
                 lambda: settled(browser, "document.readyState") == "complete" and
                 (settled(browser, "document.body.textContent") or "").startswith("a foreign site"))
        clock_url = "http://127.0.0.1:%d" % port
        tries = browser.js(
            "(async()=>{const out=[];const u='%s';"
            "for(const [m,p,b] of [['GET','/voice/say',null],['GET','/voice/clip?voice=active"
            "&name=Minutes',null],['POST','/voice/upload?voice=active&name=Minutes','RIFF'],"
            "['POST','/voice/make','folder=C:%%5Cx&language=en&format=wav']]){"
            "try{const r=await fetch(u+p,{method:m,body:b,mode:'no-cors',credentials:'include'});"
            "out.push(p+' '+r.type);}catch(e){out.push(p+' failed');}"
            "try{const r=await fetch(u+p,{method:m,body:b,"
            "headers:{'X-Horatone-Token':'0'.repeat(32)}});"
            "out.push(p+' read '+r.status);}catch(e){out.push(p+' refused');}}"
            "const a=new Audio(u+'/voice/say');"
            "out.push(await new Promise(f=>{a.onerror=()=>f('audio error');"
            "a.oncanplay=()=>f('audio played');a.play().catch(()=>{});}));"
            "return out;})()" % clock_url)
        print("from a foreign site:", tries, flush=True)
        if not tries or any(" read " in t for t in tries) or "audio played" in tries:
            fail("a foreign site reached the voice tools: %r" % tries)
        if "web page: making" in clock.log() or "web page: a file" in clock.log() or \
                digest(os.path.join(voice, "Minutes.wav")) != kept or \
                os.path.exists(os.path.join(work, "C", "x")):
            fail("a foreign site changed a voice: %s" % clock.log()[-400:])
    finally:
        browser.close()
        site.shutdown()
        clock.stop()

    subprocess.run([BIN, "web-password", "--root", work], input="correct horse battery\n",
                   text=True, check=True, capture_output=True)
    os.chmod(work, 0o755)
    port = free_port()
    clock = Clock(work, "locked", web="127.0.0.1:%d" % port)
    try:
        if STRANGER:
            result = subprocess.run(STRANGER + [sys.executable, "-c", STRANGE, str(port)],
                                    capture_output=True, text=True, timeout=60)
            codes = [line.rsplit(" ", 1)[-1] for line in result.stdout.splitlines()]
            print("another user's tries:", codes, flush=True)
            if len(codes) != 10 or set(codes) - {"401", "403"}:
                fail("another local user at the voice doors: %r %r" %
                     (result.stdout, result.stderr))
        token = re.search(rb'TOKEN="([0-9a-f]+)"', request(port)[1]).group(1).decode()
        raw = socket.create_connection(("127.0.0.1", port), timeout=20)
        raw.sendall(("POST /login HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n"
                     "X-Horatone-Token: %s\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                     "Content-Length: 30\r\n\r\npassword=correct+horse+battery" % (port, token))
                    .encode())
        reply = b""
        while True:
            chunk = raw.recv(4096)
            if not chunk:
                break
            reply += chunk
        cookie = re.search(rb"Set-Cookie: (horatone_session=[0-9a-f]+)", reply)
        if not cookie:
            fail("no session: %r" % reply[:200])
            return
        session = {"Cookie": cookie.group(1).decode()}
        # With the session but without the token: refused, even to listen.
        if request(port, "GET", "/voice/say", session)[0] != 403:
            fail("a GET of the announcement without the token was not refused")
        # A file larger than any clip is refused before it is read.
        status, _ = request(port, "POST", "/voice/upload?voice=active&name=Minutes",
                            dict(session, **{"X-Horatone-Token": token}), b"",
                            length=64 << 20)
        if status != 413:
            fail("a 64 MiB upload got %d, not 413" % status)
        status, body = request(port, "GET", "/voice/clip?voice=active&name=Minutes",
                               dict(session, **{"X-Horatone-Token": token}))
        if status != 200 or not body.startswith(b"RIFF"):
            fail("the clip with the session and the token: %d" % status)
        if digest(os.path.join(voice, "Minutes.wav")) != kept:
            fail("the tries at the doors changed a clip")
    finally:
        if clock.stop() != 0:
            fail("the locked clock did not end with status 0")


def main(work):
    make_root(work, 0.4)
    files = fixtures(work)
    page_test(work, files)
    doors_test(work)


run("horatone-voices-", main)
