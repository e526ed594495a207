#!/usr/bin/env bash
# Faults on the real headless binary, each short: SIGTERM mid-announcement, a clip deleted
# mid-announcement, the node's input closing mid-announcement, a sound device that fails,
# and kill -9 while the settings are being saved. Each must end with the transmitter
# released ("TRANSMIT 0" the last keying line the node saw) and nothing lost.
# usage: headless_faults.sh path/to/horatone
set -uo pipefail
bin=${1:?usage: headless_faults.sh HORATONE}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

voice="$work/C/Program Files/Horatone"
mkdir -p "$voice"
for stem in Blank DingDong DingDong2 GoodMorning GoodAfternoon GoodEvening TheTimeIs Hour Minutes AM PM; do
  sox -q -n -r 22050 -c 1 -b 16 "$voice/$stem.wav" synth 0.4 sine 440
done
for n in $(seq -w 0 59); do sox -q -n -r 22050 -c 1 -b 16 "$voice/$n.wav" synth 0.4 sine 660; done
printf '[SETTINGS]\r\nCHECK1=0\r\nCHECK2=1\r\n' > "$work/Horatone.ini"

# Starts the clock two seconds before 14:00 with its node on a FIFO; sets $pid.
start_clock() {  # start_clock NAME [AUDIO]
  rm -f "$work/$1.in"
  mkfifo "$work/$1.in"
  "$bin" --headless --root "$work" --node stdio --audio "${2:-null}" --capture "$work/$1.wav" \
    --start-at "2026-12-06 13:59:58" <"$work/$1.in" >"$work/$1.out" 2>"$work/$1.err" &
  pid=$!
  exec {node_fd}>"$work/$1.in"
}
wait_log() {  # wait_log NAME TEXT: up to 8 s
  for _ in $(seq 80); do grep -q "$2" "$work/$1.err" && return 0; sleep 0.1; done
  return 1
}
released() { [ "$(grep '^TRANSMIT' "$work/$1.out" | tail -1)" = "TRANSMIT 0" ]; }
valid_capture() { soxi -D "$work/$1.wav" >/dev/null 2>&1; }

# 1. SIGTERM while the announcement plays.
start_clock term
wait_log term "announcement: the hour" || fail "term: no announcement"
sleep 0.5
kill -TERM "$pid"
wait "$pid"; rc=$?
exec {node_fd}>&-
[ $rc -eq 0 ] || fail "term: exit status $rc"
released term || fail "term: transmitter not released: $(grep TRANSMIT "$work/term.out" | tail -1)"
valid_capture term || fail "term: capture not a valid WAV"

# 2. The minute's clip deleted while the lead-in plays: the chain ends, the clock goes on.
start_clock deleted
wait_log deleted "announcement: the hour" || fail "deleted: no announcement"
mv "$voice/00.wav" "$work/00.wav.saved"
wait_log deleted "clip failed" || fail "deleted: the missing clip went unnoticed"
sleep 1.5
kill -0 "$pid" 2>/dev/null || fail "deleted: the clock ended"
released deleted || fail "deleted: transmitter not released"
mv "$work/00.wav.saved" "$voice/00.wav"
echo "DTMF 123" >&$node_fd
wait_log deleted "announcement: DTMF code" || fail "deleted: no announcement after the fault"
sleep 3
released deleted || fail "deleted: transmitter not released after the next announcement"
echo CLOSING >&$node_fd
exec {node_fd}>&-
wait "$pid" || fail "deleted: exit status $?"

# 3. The node's side of stdio closes mid-announcement: taken as closing, transmitter released.
start_clock vanished
wait_log vanished "announcement: the hour" || fail "vanished: no announcement"
sleep 0.5
exec {node_fd}>&-
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { fail "vanished: still running"; kill -TERM "$pid"; }
wait "$pid"
released vanished || fail "vanished: transmitter not released"
valid_capture vanished || fail "vanished: capture not a valid WAV"

# 4. A sound device that is not there: the clock says so and plays on without sound.
start_clock nodevice alsa
wait_log nodevice "announcement: the hour" || fail "nodevice: no announcement"
sleep 4
kill -0 "$pid" 2>/dev/null || fail "nodevice: the clock ended"
released nodevice || fail "nodevice: transmitter not released"
echo CLOSING >&$node_fd
exec {node_fd}>&-
wait "$pid"

# 5. kill -9 at random moments while the settings are written: the file always reads, and
# the key being written holds its old value or its new one.
"$bin" config --root "$work" save >/dev/null || fail "save: the first save failed"
old=$("$bin" config --root "$work" get TEXT9)
for i in $(seq 1 40); do
  new="value $i"
  if [ $((i % 2)) -eq 0 ]; then
    "$bin" config --root "$work" set TEXT9 "$new" >/dev/null 2>&1 &
  else
    new=$old
    "$bin" config --root "$work" save >/dev/null 2>&1 &
  fi
  victim=$!
  sleep "0.00$((RANDOM % 10))"
  kill -9 "$victim" 2>/dev/null
  wait "$victim" 2>/dev/null
  "$bin" config --root "$work" show >"$work/show.txt" 2>&1 || fail "kill -9 #$i: the settings file does not read"
  [ "$(grep -c = "$work/show.txt")" -eq 66 ] || fail "kill -9 #$i: not 66 keys"
  now=$("$bin" config --root "$work" get TEXT9)
  [ "$now" = "$old" ] || [ "$now" = "$new" ] || fail "kill -9 #$i: TEXT9 is '$now', neither '$old' nor '$new'"
  old=$now
done

[ $failures -eq 0 ] && echo "all faults handled"
exit $((failures > 0))
