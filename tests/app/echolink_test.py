"""EchoLink stations hear the clock, end to end: Debian's svxlink-server with its EchoLink module,
configured by `horatone svxlink-setup` from the stock svxlink.conf copied to a temp folder, the
headless clock started with the drop-in's own command line, and a small EchoLink station of the
test's own on another loopback address (RTCP receiver report and SDES to connect, GSM audio in
RTP, chat lines, BYE). What the station hears is decoded with sox and compared with the clock's
capture by its envelope: the same clips, in the same order, with the same lengths. SvxLink and
the clock are started here and stopped by their pids."""
import os
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from clock_harness import BIN, fail, failures, free_port, run, wait_for  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NODE = "127.0.0.2"     # SvxLink's EchoLink module binds here
STATION = "127.0.0.3"  # the test's station
CALL = "N1TEST"
RATE = 16000
# Each clip a tone of its own pitch and length, then a short silence inside the clip, so that
# the order of the clips shows in the envelope of what is heard.
STEMS = ["Blank", "DingDong", "DingDong2", "GoodMorning", "GoodAfternoon", "GoodEvening",
         "TheTimeIs", "Hour", "Minutes", "AM", "PM"] + ["%02d" % n for n in range(60)]


def clip_seconds(index):
    return 0.16 + 0.04 * (index % 5)


def make_voice(root):
    voice = os.path.join(root, "C", "Program Files", "Horatone")
    os.makedirs(voice, exist_ok=True)
    for index, stem in enumerate(STEMS):
        path = os.path.join(voice, stem + ".wav")
        if stem == "Blank":
            subprocess.run(["sox", "-q", "-n", "-r", str(RATE), "-c", "1", "-b", "16", path,
                            "trim", "0", "0.1"], check=True)
            continue
        subprocess.run(["sox", "-q", "-n", "-r", str(RATE), "-c", "1", "-b", "16", path,
                        "synth", "%.2f" % clip_seconds(index), "sine", str(500 + 15 * index),
                        "vol", "0.5", "pad", "0", "0.12"], check=True)


# --- SvxLink's configuration, as an operator would have it before the set-up -------------

def set_value(path, section, key, value):
    """KEY=VALUE in [section] of an SvxLink file, in place, or added at the section's end."""
    lines = open(path).read().split("\n")
    current, last, done = None, None, False
    for i, line in enumerate(lines):
        stripped = line.strip()
        if stripped.startswith("["):
            current = stripped[1:-1]
            continue
        if current == section and re.match(r"#?" + re.escape(key) + r"=", stripped):
            lines[i] = key + "=" + value
            done = True
            break
        if current == section and stripped and not stripped.startswith("#"):
            last = i
    if not done:
        lines.insert(last + 1, key + "=" + value)
    open(path, "w").write("\n".join(lines))


def operator_config(work, ports):
    """The stock configuration with what any operator sets for the hardware and the
    EchoLink account: here UDP audio and PTYs in the temp folder, a test account, and
    SvxLink's shared files linked from a folder of the test's own (the handler is installed
    beside them)."""
    etc = os.path.join(work, "etc")
    shutil.copytree("/etc/svxlink", etc)
    share = os.path.join(work, "share")
    os.makedirs(os.path.join(share, "events.d"))
    os.symlink("/usr/share/svxlink/events.tcl", os.path.join(share, "events.tcl"))
    os.symlink("/usr/share/svxlink/modules.d", os.path.join(share, "modules.d"))
    for name in os.listdir("/usr/share/svxlink/events.d"):
        if name.endswith(".tcl"):
            os.symlink("/usr/share/svxlink/events.d/" + name,
                       os.path.join(share, "events.d", name))
    conf = os.path.join(etc, "svxlink.conf")
    set_value(conf, "GLOBAL", "CARD_SAMPLE_RATE", str(RATE))
    logic = {"EVENT_HANDLER": share + "/events.tcl", "MODULES": "ModuleEchoLink",
             "CALLSIGN": "N0CALL", "SHORT_IDENT_INTERVAL": "0", "LONG_IDENT_INTERVAL": "0",
             "IDLE_TIMEOUT": "1", "IDLE_SOUND_INTERVAL": "0", "RGR_SOUND_DELAY": "-1"}
    for key, value in logic.items():
        set_value(conf, "RepeaterLogic", key, value)
    rx = {"AUDIO_DEV": "udp:127.0.0.1:%d" % ports["rx"], "SQL_DET": "PTY",
          "PTY_PATH": work + "/main_sql", "SQL_HANGTIME": "0", "PEAK_METER": "0"}
    for key, value in rx.items():
        set_value(conf, "Rx1", key, value)
    tx = {"AUDIO_DEV": "udp:127.0.0.1:%d" % ports["tx"], "PTT_TYPE": "PTY",
          "PTT_PTY": work + "/ptt", "TX_DELAY": "0"}
    for key, value in tx.items():
        set_value(conf, "Tx1", key, value)
    module = os.path.join(etc, "svxlink.d", "ModuleEchoLink.conf")
    echolink = {"SERVERS": "127.0.0.1", "CALLSIGN": "N0CALL-L", "PASSWORD": "test",
                "SYSOPNAME": "Test", "LOCATION": "Loopback", "BIND_ADDR": NODE,
                "ALLOW_IP": "127.0.0.0/8", "USE_GSM_ONLY": "1", "REMOTE_RGR_SOUND": "0",
                "TIMEOUT": "0"}
    for key, value in echolink.items():
        set_value(module, "ModuleEchoLink", key, value)
    return conf, share


# --- The EchoLink directory and station -------------------------------------------------

def fake_directory(stop):
    """The directory on 127.0.0.1:5200: logins are answered OK, the list has no station."""
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 5200))
    server.listen(4)
    server.settimeout(0.2)

    def serve():
        while not stop.is_set():
            try:
                conn, _ = server.accept()
            except socket.timeout:
                continue
            conn.settimeout(2)
            try:
                first = conn.recv(1)
                if first == b"l":
                    conn.sendall(b"OK")
                elif first == b"s":
                    conn.sendall(b"@@@\n0\n+++\n")
            except OSError:
                pass
            conn.close()
        server.close()
    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    return thread


def rtcp_sdes(call, name):
    """An RTCP receiver report followed by SDES, both of EchoLink's RTP version 3: CNAME, then NAME (the callsign padded to 15
    characters and the name)."""
    rr = struct.pack("!BBHI", 0xC0, 201, 1, 0)
    items = b""
    for kind, text in ((1, b"CALLSIGN"), (2, ("%-15s%s" % (call, name)).encode()),
                       (3, b"CALLSIGN"), (4, b"08:30")):
        items += bytes([kind, len(text)]) + text
    items += b"\0\0"
    while (8 + len(items)) % 4:
        items += b"\0"
    return rr + struct.pack("!BBHI", 0xC1, 202, (8 + len(items)) // 4 - 1, 0) + items


def rtcp_bye():
    rr = struct.pack("!BBHI", 0xC0, 201, 1, 0)
    text = bytes([7]) + b"jan2002"
    return rr + struct.pack("!BBHI", 0xC1, 203, (8 + len(text)) // 4 - 1, 0) + text


class Station:
    """An EchoLink station on STATION: connects to the node, hears its GSM audio and chat."""

    def __init__(self, work):
        self.work = work
        self.audio = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.audio.bind((STATION, 5198))
        self.control = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.control.bind((STATION, 5199))
        self.audio.settimeout(0.1)
        self.lock = threading.Lock()
        self.frames = []   # (arrival, 33-byte GSM frame)
        self.texts = []    # chat and info lines the node sent
        self.heard_control = False
        self.stop = threading.Event()
        self.seq = 0
        self.threads = [threading.Thread(target=self._hear, daemon=True),
                        threading.Thread(target=self._keep_alive, daemon=True),
                        threading.Thread(target=self._hear_control, daemon=True)]
        for thread in self.threads:
            thread.start()

    def _hear(self):
        while not self.stop.is_set():
            try:
                packet = self.audio.recv(2048)
            except socket.timeout:
                continue
            now = time.monotonic()
            with self.lock:
                if packet[:6] == b"oNDATA":
                    self.texts.append(packet[6:])
                elif len(packet) >= 12 + 33 and packet[0] == 0xC0 and packet[1] & 0x7F == 3:
                    payload = packet[12:]
                    for at in range(0, len(payload) - 32, 33):
                        self.frames.append((now, payload[at:at + 33]))

    def _hear_control(self):
        self.control.settimeout(0.1)
        while not self.stop.is_set():
            try:
                self.control.recv(2048)
                self.heard_control = True
            except socket.timeout:
                continue

    def _keep_alive(self):
        while not self.stop.is_set():
            self.control.sendto(rtcp_sdes(CALL, "Test station"), (NODE, 5199))
            self.stop.wait(2.0)

    def chat(self, text):
        self.audio.sendto(b"oNDATA" + CALL.encode() + b">" + text.encode() + b"\r\n\0",
                          (NODE, 5198))

    def talk(self, seconds, gsm_frames):
        """Sends GSM audio for `seconds`, four frames each 80 ms, paced in real time."""
        start = time.monotonic()
        packet = 0
        while time.monotonic() - start < seconds:
            frames = b"".join(gsm_frames[(packet * 4 + i) % len(gsm_frames)] for i in range(4))
            header = struct.pack("!BBHII", 0xC0, 3, self.seq & 0xFFFF, self.seq * 640, 0)
            self.audio.sendto(header + frames, (NODE, 5198))
            self.seq += 1
            packet += 1
            time.sleep(max(0.0, start + packet * 0.08 - time.monotonic()))

    def take_frames(self):
        with self.lock:
            frames, self.frames = self.frames, []
        return frames

    def leave(self):
        self.control.sendto(rtcp_bye(), (NODE, 5199))
        self.stop.set()
        for thread in self.threads:
            thread.join()
        self.audio.close()
        self.control.close()


# --- Sound: GSM decoded with sox, envelopes compared ------------------------------------

def decode_gsm(work, frames):
    """The frames as 8 kHz samples."""
    path = os.path.join(work, "heard.gsm")
    with open(path, "wb") as f:
        f.write(b"".join(frame for _, frame in frames))
    out = subprocess.run(["sox", "-q", "-t", "gsm", "-r", "8000", path, "-t", "raw", "-e",
                          "signed", "-b", "16", "-c", "1", "-"], check=True,
                         stdout=subprocess.PIPE).stdout
    return struct.unpack("<%dh" % (len(out) // 2), out), 8000


def read_capture(path):
    """The clock's capture, channel 0, as samples at its own rate."""
    out = subprocess.run(["sox", "-q", path, "-t", "raw", "-e", "signed", "-b", "16", "-r",
                          "8000", "-c", "1", "-"], check=True, stdout=subprocess.PIPE).stdout
    return struct.unpack("<%dh" % (len(out) // 2), out), 8000


def bursts(samples, rate, level=0.1):
    """The loud stretches as (start, length) in seconds, from a 10 ms envelope; gaps shorter
    than 50 ms are joined."""
    step = rate // 100
    peak = max((abs(s) for s in samples), default=0)
    if peak == 0:
        return []
    loud = []
    for at in range(0, len(samples) - step + 1, step):
        window = samples[at:at + step]
        rms = (sum(s * s for s in window) / step) ** 0.5
        loud.append(rms > level * peak)
    found, start, quiet = [], None, 0
    for i, on in enumerate(loud + [False] * 6):
        if on:
            if start is None:
                start = i
            quiet = 0
        elif start is not None:
            quiet += 1
            if quiet > 5:
                found.append((start / 100.0, (i - quiet + 1 - start) / 100.0))
                start, quiet = None, 0
    return found


def same_clips(what, heard, captured):
    """The station heard the clips of the capture, in order, each as long within 60 ms."""
    lengths_heard = [round(length, 2) for _, length in heard]
    lengths_captured = [round(length, 2) for _, length in captured]
    ok = len(heard) == len(captured) and all(
        abs(a - b) <= 0.06 for a, b in zip(lengths_heard, lengths_captured))
    if not ok:
        fail("%s: the station heard clips %s, the clock sent %s" %
             (what, lengths_heard, lengths_captured))
    return ok


# --- The test ---------------------------------------------------------------------------

class Programs:
    def __init__(self, work):
        self.work = work
        self.svxlink = None
        self.clock = None

    def start_svxlink(self, conf):
        for name in ("ptt", "dtmf"):
            if os.path.lexists(os.path.join(self.work, name)):
                os.remove(os.path.join(self.work, name))
        self.svxlink = subprocess.Popen(
            ["svxlink", "--config=" + conf, "--logfile=" + os.path.join(self.work, "svxlink.err")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return wait_for("SvxLink's control PTY", lambda: os.path.exists(self.work + "/dtmf"))

    def svxlink_log(self):
        return open(os.path.join(self.work, "svxlink.err"), errors="replace").read()

    def start_clock(self, args, start_at, name):
        self.clock_log = os.path.join(self.work, name + ".err")
        self.capture = os.path.join(self.work, name + ".wav")
        self.clock = subprocess.Popen(
            args + ["--capture", self.capture, "--start-at", start_at],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(self.clock_log, "w"))
        return wait_for("the clock to connect", lambda: "SvxLink connected" in self.log())

    def log(self):
        return open(self.clock_log, errors="replace").read()

    def stop_clock(self):
        stop(self.clock)
        self.clock = None

    def stop_all(self):
        stop(self.clock)
        stop(self.svxlink)


def stop(proc):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=15)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def dtmf(work, digits):
    fd = os.open(os.path.join(work, "dtmf"), os.O_RDWR | os.O_NOCTTY)
    os.write(fd, digits.encode())
    os.close(fd)


def page_node_line(port, seconds=10):
    """The node line of the page's live status, as a page on this computer reads it."""
    conn = socket.create_connection(("127.0.0.1", port), timeout=seconds)
    conn.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
    got, end = b"", time.monotonic() + seconds
    try:
        while time.monotonic() < end:
            got += conn.recv(65536)
            found = re.findall(rb'"node":"([^"]*)"', got)
            if found:
                return found[-1].decode()
    except OSError:
        pass
    finally:
        conn.close()
    return None


def heard_announcement(station, seconds=12):
    """The frames of one announcement: from the first loud frame until a second of silence."""
    frames = []
    end = time.monotonic() + seconds
    last_new = None
    while time.monotonic() < end:
        new = station.take_frames()
        if new:
            frames += new
            last_new = time.monotonic()
        elif last_new and time.monotonic() - last_new > 1.5:
            break
        time.sleep(0.05)
    return frames


def setup(work, ports, clock_args_out):
    conf, share = operator_config(work, ports)
    stock = open(conf).read()
    root = os.path.join(work, "root")
    os.makedirs(root)
    os.makedirs(os.path.join(work, "run"), mode=0o700)
    command = [BIN, "svxlink-setup", "--root", root, "--config", conf,
               "--handler", os.path.join(SOURCE, "packaging", "svxlink", "horatone.tcl"),
               "--systemd", os.path.join(work, "systemd"),
               "--svx-audio", "127.0.0.1:%d" % ports["clock"],
               "--svx-squelch", work + "/clock_sql", "--svx-dtmf", work + "/dtmf",
               "--svx-events", work + "/run/svxlink"]
    # A file SvxLink could not read is refused, and left as it was.
    broken = os.path.join(work, "broken.conf")
    open(broken, "w").write(stock + "\nthis line is none of SvxLink's\n")
    done = subprocess.run([a if a != conf else broken for a in command],
                          capture_output=True, text=True)
    if done.returncode != 1 or "line " not in done.stderr or \
            open(broken).read() != stock + "\nthis line is none of SvxLink's\n":
        fail("a broken file: status %d, %r" % (done.returncode, done.stderr))

    check = subprocess.run(command + ["--check"], capture_output=True, text=True)
    if check.returncode != 1 or "[RepeaterLogic] RX is \"Rx1\", wants \"Voter\"" not in check.stdout:
        fail("--check before the set-up: status %d, %r" % (check.returncode, check.stdout))
    if open(conf).read() != stock:
        fail("--check changed the file")
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        fail("svxlink-setup: status %d, %s%s" % (done.returncode, done.stdout, done.stderr))
        return None
    backups = [n for n in os.listdir(os.path.dirname(conf)) if ".horatone-backup-" in n]
    if len(backups) != 1 or open(os.path.join(os.path.dirname(conf), backups[0])).read() != stock:
        fail("the backup: %s" % backups)
    merged = open(conf).read()
    # The operator's comments and values it does not touch are where they were.
    for line in ("# Enable the next line to use the SvxLink logic linking feature",
                 "[LinkToR4]", "SHORT_IDENT_INTERVAL=0", "PTT_PTY=" + work + "/ptt"):
        if line in stock and line not in merged:
            fail("the set-up lost the line %r" % line)
    handler = os.path.join(share, "events.d", "local", "horatone.tcl")
    if os.readlink(handler) != os.path.join(SOURCE, "packaging", "svxlink", "horatone.tcl"):
        fail("the handler is not linked: " + handler)
    check = subprocess.run(command + ["--check"], capture_output=True, text=True)
    if check.returncode != 0 or check.stdout.strip() != "nothing missing":
        fail("--check after the set-up: status %d, %r" % (check.returncode, check.stdout))
    again = subprocess.run(command, capture_output=True, text=True)
    if again.returncode != 0 or "nothing to do" not in again.stdout or open(conf).read() != merged:
        fail("a second set-up: %r" % again.stdout)
    if len([n for n in os.listdir(os.path.dirname(conf)) if ".horatone-backup-" in n]) != 1:
        fail("a second set-up made another backup")

    # The clock starts as the drop-in starts it, with this test's binary.
    drop_in = open(os.path.join(work, "systemd", "horatone.service.d", "svxlink.conf")).read()
    exec_start = [line for line in drop_in.split("\n") if line.startswith("ExecStart=/")]
    if len(exec_start) != 1 or "--svx-rate %d" % RATE not in exec_start[0]:
        fail("the drop-in's ExecStart: %r" % drop_in)
        return None
    args = shlex.split(exec_start[0][len("ExecStart="):])
    clock_args_out.extend([BIN] + args[1:])
    make_voice(os.path.join(root))
    return conf


def body(work):
    ports = {"rx": free_port(), "tx": free_port(), "clock": free_port()}
    clock_args = []
    conf = setup(work, ports, clock_args)
    if conf is None:
        return
    stop_directory = threading.Event()
    fake_directory(stop_directory)
    programs = Programs(work)
    station = None
    try:
        if not programs.start_svxlink(conf):
            return
        station = Station(work)
        if not wait_for("the station to be connected",
                        lambda: "EchoLink QSO state changed to CONNECTED" in programs.svxlink_log()):
            return
        if not programs.start_clock(clock_args, "2026-12-06 14:05:10", "code"):
            return
        # The module's callsign names the node.
        wait_for("the EchoLink callsign in the clock's log",
                 lambda: "SvxLink's EchoLink module: N0CALL-L" in programs.log())
        time.sleep(1.0)
        station.take_frames()  # the module's own greeting, if any

        # A code on the control PTY: the station hears the announcement the clock captured.
        dtmf(work, "123#")
        frames = heard_announcement(station)
        programs.stop_clock()
        if "announcement: DTMF code" not in programs.log():
            fail("the code was not answered")
        elif frames:
            heard = bursts(*decode_gsm(work, frames))
            captured = bursts(*read_capture(programs.capture))
            same_clips("a code", heard, captured)
            if len(captured) < 5:
                fail("the capture holds %d clips" % len(captured))
        else:
            fail("the station heard nothing after the code")

        # The slot: the quarter hour is heard.
        if not programs.start_clock(clock_args, "2026-12-06 14:14:57", "slot"):
            return
        wait_for("the slot", lambda: "announcement: " in programs.log(), 15)
        frames = heard_announcement(station)
        programs.stop_clock()
        if frames:
            same_clips("the slot", bursts(*decode_gsm(work, frames)),
                       bursts(*read_capture(programs.capture)))
        else:
            fail("the station heard nothing of the slot")

        # A talking station holds the slot (flag 3), and a code after it is answered.
        gsm = os.path.join(work, "talk.gsm")
        subprocess.run(["sox", "-q", "-n", "-r", "8000", "-c", "1", "-t", "gsm", gsm, "synth",
                        "1", "sine", "300", "vol", "0.3"], check=True)
        raw = open(gsm, "rb").read()
        talk = [raw[i:i + 33] for i in range(0, len(raw) - 32, 33)]
        web = free_port()
        if not programs.start_clock(clock_args + ["--web", "127.0.0.1:%d" % web],
                                    "2026-12-06 14:29:55", "busy"):
            return
        station.talk(9.0, talk)
        # The page's node line names the EchoLink node.
        node_line = page_node_line(web)
        if node_line != "svxlink: connected (SvxLink N0CALL-L)":
            fail("the page's node line: %r" % node_line)
        wait_for("the clock free again", lambda: "SvxLink free" in programs.log().split(
            "an EchoLink station talking")[-1], 10)
        log = programs.log()
        if "SvxLink busy: an EchoLink station talking" not in log:
            fail("a talking station did not set flag 3")
        if "transmitting for someone else" in log:
            fail("a talking station was taken for SvxLink transmitting for someone else")
        if "announcement" in log:
            fail("the slot was announced over a talking station")
        station.take_frames()
        dtmf(work, "123#")
        frames = heard_announcement(station)
        if "announcement: DTMF code" not in programs.log() or not frames:
            fail("the code after the talk was not heard")

        # A chat line asking for the version: SvxLink lets the handler send no chat, so the
        # reply is logged with the reason.
        station.chat("what /ver/ is this")
        station.chat("/VER/ is not asked")
        wait_for("the chat line in the clock's log",
                 lambda: "chat reply not sent" in programs.log(), 10)
        time.sleep(1.0)
        log = programs.log()
        if log.count("EchoLink chat: ") != 2 or "N1TEST>what /ver/ is this" not in log:
            fail("the chat lines did not reach the clock")
        replies = re.findall(r"chat reply not sent \(([^)]*)\): (.*)", log)
        if replies != [("SvxLink lets no event handler send EchoLink chat", "Horatone  v2.0.1")]:
            fail("the version reply: %r" % replies)
        programs.stop_clock()
    finally:
        if station:
            station.leave()
        programs.stop_all()
        stop_directory.set()


if __name__ == "__main__":
    if not os.access("/usr/bin/svxlink", os.X_OK):
        print("skipped: svxlink-server is not installed")
        sys.exit(0)
    run("horatone-echolink-", body)
