"""How soon an EchoLink station connected through svxlink-server's EchoLink module hears the
clock: from a code written to the logic's control PTY, and from the slot second, to the arrival
of the first GSM packet that holds a loud sample of the clock's (decoded with sox). The set-up is
the end-to-end test's (tests/app/echolink_test.py): svxlink-setup on the stock configuration, the
drop-in's command line, a station on 127.0.0.3. The slot is measured from the moment the clock
was started with --start-at three seconds before it, so it includes the clock's own start.
Prints table rows; asserts nothing. Run by hand:
    python3 bench/echolink_bench.py build/app/horatone [runs]"""
import os
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "app"))
import echolink_test as el  # noqa: E402
from clock_harness import free_port  # noqa: E402


def first_loud_arrival(work, frames, level=2000):
    """When the packet holding the first loud sample came; None if nothing was loud."""
    if not frames:
        return None
    samples, _ = el.decode_gsm(work, frames)
    for index, sample in enumerate(samples):
        if abs(sample) > level:
            return frames[min(index // 160, len(frames) - 1)][0]
    return None


def row(what, values):
    if not values:
        print("| %s | no measurement | |" % what)
        return
    print("| %s | median %.1f ms, min %.1f, max %.1f (n=%d) | |" %
          (what, statistics.median(values), min(values), max(values), len(values)))


def main():
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    work = tempfile.mkdtemp(prefix="horatone-echolink-bench-")
    ports = {"rx": free_port(), "tx": free_port(), "clock": free_port()}
    clock_args = []
    conf = el.setup(work, ports, clock_args)
    if conf is None:
        return 1
    stop_directory = threading.Event()
    el.fake_directory(stop_directory)
    programs = el.Programs(work)
    station = None
    after_code, after_slot = [], []
    try:
        if not programs.start_svxlink(conf):
            return 1
        station = el.Station(work)
        if not el.wait_for("the station", lambda: "state changed to CONNECTED" in programs.svxlink_log()):
            return 1
        # What the module sends a new station (its greeting) is over before the first run.
        time.sleep(3.0)
        station.take_frames()
        for run in range(runs):
            started = time.monotonic()
            if not programs.start_clock(clock_args, "2026-12-06 14:14:57", "bench%d" % run):
                return 1
            station.take_frames()
            frames = el.heard_announcement(station)
            heard = first_loud_arrival(work, frames)
            if heard:
                after_slot.append((heard - (started + 3.0)) * 1000)
            time.sleep(1.5)
            station.take_frames()
            written = time.monotonic()
            el.dtmf(work, "123#")
            heard = first_loud_arrival(work, el.heard_announcement(station))
            if heard:
                after_code.append((heard - written) * 1000)
            programs.stop_clock()
    finally:
        if station:
            station.leave()
        programs.stop_all()
        stop_directory.set()
    row("EchoLink station: code on the control PTY -> first clock sample at the station", after_code)
    row("EchoLink station: slot second -> first clock sample at the station", after_slot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
