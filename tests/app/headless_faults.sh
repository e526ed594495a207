#!/usr/bin/env bash
# Faults on the real headless binary, each short: signals mid-announcement, a lost log, a clip
# deleted mid-announcement or far too long, the node's input closing mid-announcement, a
# sound device that fails, a settings file that is no file, too big or unreadable, a system
# directory that is not there, and kill -9 while the settings are being saved. Each must end
# with the transmitter released ("TRANSMIT 0" the last keying line the node saw, or no keying
# at all) and nothing lost or left behind.
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

# 5. SIGHUP, SIGUSR1 and SIGUSR2 mid-announcement: the settings are read again (what changed
# is logged), the others are logged, and the announcement and the clock go on.
start_clock hup
wait_log hup "announcement: the hour" || fail "hup: no announcement"
printf '[SETTINGS]\r\nCHECK1=0\r\nCHECK2=1\r\nDTMFTIME=456\r\n' > "$work/Horatone.ini"
for sig in HUP USR1 USR2; do kill -$sig "$pid"; sleep 0.2; done
wait_log hup 'DTMFTIME "123" -> "456"' || fail "hup: the change was not logged"
wait_log hup "settings reloaded" || fail "hup: settings not reloaded"
wait_log hup "signal USR2 ignored" || fail "hup: SIGUSR2 not logged"
wait_log hup "transmitter PTT OFF" || fail "hup: the announcement did not end"
kill -0 "$pid" 2>/dev/null || fail "hup: the clock ended"
echo "DTMF 456" >&$node_fd
sleep 0.5
grep -q "announcement: DTMF code" "$work/hup.err" || fail "hup: the new DTMF code does not work"
sleep 3
released hup || fail "hup: transmitter not released"
echo CLOSING >&$node_fd
exec {node_fd}>&-
wait "$pid" || fail "hup: exit status $?"
printf '[SETTINGS]\r\nCHECK1=0\r\nCHECK2=1\r\n' > "$work/Horatone.ini"

# 6. SIGQUIT mid-announcement ends the clock as SIGTERM does: released first.
start_clock quit
wait_log quit "announcement: the hour" || fail "quit: no announcement"
sleep 0.5
kill -QUIT "$pid"
wait "$pid"; rc=$?
exec {node_fd}>&-
[ $rc -eq 0 ] || fail "quit: exit status $rc"
released quit || fail "quit: transmitter not released: $(grep TRANSMIT "$work/quit.out" | tail -1)"
grep -q "ending: signal QUIT" "$work/quit.err" || fail "quit: not logged"

# 7. The log's reader goes away mid-announcement: the clock goes on without a log.
rm -f "$work/logpipe" && mkfifo "$work/logpipe"
cat "$work/logpipe" >"$work/lost.err" &
reader=$!
rm -f "$work/lost.in" && mkfifo "$work/lost.in"
"$bin" --headless --root "$work" --node stdio --audio null --start-at "2026-12-06 13:59:58" \
  <"$work/lost.in" >"$work/lost.out" 2>"$work/logpipe" &
pid=$!
exec {node_fd}>"$work/lost.in"
wait_log lost "announcement: the hour" || fail "lost log: no announcement"
kill "$reader"; wait "$reader" 2>/dev/null
sleep 4
kill -0 "$pid" 2>/dev/null || fail "lost log: the clock ended"
released lost || fail "lost log: transmitter not released: $(grep TRANSMIT "$work/lost.out" | tail -1)"
echo CLOSING >&$node_fd
exec {node_fd}>&-
wait "$pid" || fail "lost log: exit status $?"

# 8. A clip of 500 MB (sparse; 3.3 hours by its header) is refused before it is decoded,
# named in the log, and the transmitter is released; memory stays small.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
data=$((500 * 1024 * 1024))
mv "$voice/TheTimeIs.wav" "$work/TheTimeIs.wav.saved"
printf "RIFF$(le32 $((data + 36)))WAVEfmt $(le32 16)\x01\x00\x01\x00$(le32 22050)$(le32 44100)\x02\x00\x10\x00data$(le32 $data)" >"$voice/TheTimeIs.wav"
truncate -s $((data + 44)) "$voice/TheTimeIs.wav"
start_clock hugeclip
wait_log hugeclip "clip failed" || fail "huge clip: not refused"
grep -q "TheTimeIs.wav.*more than a clip" "$work/hugeclip.err" || fail "huge clip: not named: $(grep 'clip failed' "$work/hugeclip.err")"
sleep 1.5
kill -0 "$pid" 2>/dev/null || fail "huge clip: the clock ended"
released hugeclip || fail "huge clip: transmitter not released"
peak=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
[ "${peak:-0}" -lt 204800 ] || fail "huge clip: peak memory ${peak} kB"
echo CLOSING >&$node_fd
exec {node_fd}>&-
wait "$pid"
mv "$work/TheTimeIs.wav.saved" "$voice/TheTimeIs.wav"

# 9. Horatone.ini that is no settings file: a FIFO, a link to /dev/zero, 100 MB, unreadable.
# Start-up names the file and the reason and ends at once without keying, unless told to go
# on with the defaults.
ini="$work/Horatone.ini"
cp "$ini" "$work/ini.saved"
unprivileged=()  # root reads any file whatever its mode; take that right away for case 4
[ "$(id -u)" -eq 0 ] && unprivileged=(setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search)
bad_ini() {  # bad_ini NAME TEXT
  rm -f "$work/$1.in" && mkfifo "$work/$1.in"
  timeout 10 "${unprivileged[@]}" "$bin" --headless --root "$work" --node stdio --audio null \
    <"$work/$1.in" >"$work/$1.out" 2>"$work/$1.err" &
  pid=$!
  exec {node_fd}>"$work/$1.in"
  wait "$pid"; rc=$?
  exec {node_fd}>&-
  [ $rc -eq 1 ] || fail "$1: exit status $rc, not 1"
  grep -q "Horatone.ini: $2" "$work/$1.err" || fail "$1: no message '$2': $(cat "$work/$1.err")"
  grep -q "TRANSMIT 1" "$work/$1.out" && fail "$1: keyed"
}
rm -f "$ini" && mkfifo "$ini"
bad_ini fifo "not a regular file (a FIFO)"
rm -f "$ini" && ln -s /dev/zero "$ini"
bad_ini zero "not a regular file (a character device)"
rm -f "$ini" && truncate -s 100M "$ini"
bad_ini big "104857600 bytes, more than a settings file can be"
cp "$work/ini.saved" "$ini" && chmod 000 "$ini"
bad_ini unreadable "cannot be read: Permission denied"
# Told to go on, the clock starts with the defaults and still says why.
rm -f "$work/goon.in" && mkfifo "$work/goon.in"
"${unprivileged[@]}" "$bin" --headless --root "$work" --node stdio --audio null --ignore-settings-errors \
  <"$work/goon.in" >"$work/goon.out" 2>"$work/goon.err" &
pid=$!
exec {node_fd}>"$work/goon.in"
wait_log goon "cannot be read: Permission denied; using the defaults" || fail "go on: no message"
kill -0 "$pid" 2>/dev/null || fail "go on: the clock ended"
kill -TERM "$pid"; wait "$pid" || fail "go on: exit status $?"
exec {node_fd}>&-
released goon || fail "go on: transmitter not released"
rm -f "$ini" && cp "$work/ini.saved" "$ini"

# 10. A system directory that does not exist or is a file: a clear error at start-up.
for root in "$work/missing" "$ini"; do
  "$bin" --headless --root "$root" --node stdio --audio null </dev/null >"$work/root.out" 2>"$work/root.err"
  rc=$?
  [ $rc -eq 2 ] || fail "--root $root: exit status $rc"
  grep -q "system directory.*$(basename "$root").*\(does not exist\|is not a folder\)" "$work/root.err" ||
    fail "--root $root: $(cat "$work/root.err")"
  [ -s "$work/root.out" ] && fail "--root $root: spoke to the node"
done

# 11. kill -9 at random moments while the settings are written: the file always reads, and
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
# The temporary files of the killed saves go at the next save.
"$bin" config --root "$work" save >/dev/null || fail "save after kill -9: failed"
left=$(find "$work" -maxdepth 1 -name '.Horatone.ini.*' | wc -l)
[ "$left" -eq 0 ] || fail "save after kill -9: $left temporary files left"

[ $failures -eq 0 ] && echo "all faults handled"
exit $((failures > 0))
