#!/usr/bin/env bash
# Faults on the real headless binary (usage: headless_faults.sh path/to/horatone). Each must
# end with the transmitter released (no keying, or "TRANSMIT 0" last) and nothing lost or left.
set -uo pipefail
bin=${1:?usage: headless_faults.sh HORATONE}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

voice="$work/C/Program Files/Horatone"
ini="$work/Horatone.ini"
mkdir -p "$voice"
for stem in Blank DingDong DingDong2 GoodMorning GoodAfternoon GoodEvening TheTimeIs Hour Minutes \
  AM PM $(seq -w 0 59); do sox -q -n -r 22050 -c 1 -b 16 "$voice/$stem.wav" synth 0.4 sine 440; done
printf '[SETTINGS]\r\nCHECK1=0\r\nCHECK2=1\r\n' > "$ini"

# run NAME ARGS...: the clock with its node on a FIFO ($node_fd) and its log in NAME.err; sets $pid.
run() {
  local name=$1; shift
  rm -f "$work/$name.in" && mkfifo "$work/$name.in"
  "$@" <"$work/$name.in" >"$work/$name.out" 2>"$work/$name.err" &
  pid=$!
  exec {node_fd}>"$work/$name.in"
}
start_clock() {  # start_clock NAME [AUDIO]: two seconds before 14:00, and waits for the hour
  run "$1" "$bin" --headless --root "$work" --node stdio --audio "${2:-null}" \
    --capture "$work/$1.wav" --start-at "2026-12-06 13:59:58"
  wait_log "$1" "announcement: the hour" || fail "$1: no announcement"
}
wait_log() {  # wait_log NAME TEXT: up to 8 s
  for _ in $(seq 80); do grep -q "$2" "$work/$1.err" && return 0; sleep 0.1; done
  return 1
}
released() {
  local last; last=$(grep '^TRANSMIT' "$work/$1.out" | tail -1)
  [ "$last" = "TRANSMIT 0" ] || fail "$1: transmitter not released: $last"
}
alive() { kill -0 "$pid" 2>/dev/null || fail "$1: the clock ended"; }
finish() {  # the node closes; the clock ends with 0
  echo CLOSING >&$node_fd
  exec {node_fd}>&-
  wait "$pid" || fail "$1: exit status $?"
}
valid_capture() { soxi -D "$work/$1.wav" >/dev/null 2>&1 || fail "$1: capture not a valid WAV"; }

# 1. SIGTERM and SIGQUIT while the announcement plays: released, logged, ended with 0.
for sig in TERM QUIT; do
  why=$([ $sig = TERM ] && echo terminated || echo "signal $sig")
  start_clock "$sig"
  sleep 0.5
  kill -$sig "$pid"
  wait "$pid" || fail "$sig: exit status $?"
  exec {node_fd}>&-
  released "$sig"
  valid_capture "$sig"
  grep -q "ending: $why" "$work/$sig.err" || fail "$sig: not logged"
done

# 2. The minute's clip deleted mid-announcement: the chain ends, the clock goes on.
start_clock deleted
mv "$voice/00.wav" "$work/00.wav.saved"
wait_log deleted "clip failed" || fail "deleted: the missing clip went unnoticed"
sleep 1.5
alive deleted
released deleted
mv "$work/00.wav.saved" "$voice/00.wav"
echo "DTMF 123" >&$node_fd
wait_log deleted "announcement: DTMF code" || fail "deleted: no announcement after the fault"
sleep 3
released deleted
finish deleted

# 3. The node's side of stdio closes mid-announcement: taken as closing, transmitter released.
start_clock vanished
sleep 0.5
exec {node_fd}>&-
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { fail "vanished: still running"; kill -TERM "$pid"; }
wait "$pid"
released vanished
valid_capture vanished

# 4. A sound device that is not there: the clock says so and plays on without sound.
start_clock nodevice alsa
sleep 4
alive nodevice && released nodevice
finish nodevice

# 5. SIGHUP (settings read again, changes logged), SIGUSR1/2 (logged) mid-announcement: all go on.
start_clock hup
printf '[SETTINGS]\r\nCHECK1=0\r\nCHECK2=1\r\nDTMFTIME=456\r\n' > "$ini"
for sig in HUP USR1 USR2; do kill -$sig "$pid"; sleep 0.2; done
for text in 'DTMFTIME "123" -> "456"' "settings reloaded" "signal USR2 ignored" "transmitter PTT OFF"; do
  wait_log hup "$text" || fail "hup: no '$text'"
done
alive hup
echo "DTMF 456" >&$node_fd
sleep 0.5
grep -q "announcement: DTMF code" "$work/hup.err" || fail "hup: the new DTMF code does not work"
sleep 3
released hup
finish hup
printf '[SETTINGS]\r\nCHECK1=0\r\nCHECK2=1\r\n' > "$ini"

# 6. The log's reader goes away mid-announcement: the clock goes on without a log.
rm -f "$work/logpipe" && mkfifo "$work/logpipe"
cat "$work/logpipe" >"$work/lost.err" &
reader=$!
run lost sh -c 'exec "$@" 2>"$0"' "$work/logpipe" "$bin" --headless --root "$work" --node stdio \
  --audio null --start-at "2026-12-06 13:59:58"
wait_log lost "announcement: the hour" || fail "lost: no announcement"
kill "$reader"; wait "$reader" 2>/dev/null
sleep 4
alive lost
released lost
finish lost

# 7. A sparse clip of 500 MB is refused before it is decoded and named; memory stays small.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
data=$((500 * 1024 * 1024))
mv "$voice/TheTimeIs.wav" "$work/TheTimeIs.wav.saved"  # 3.3 hours by its header
printf "RIFF$(le32 $((data + 36)))WAVEfmt $(le32 16)\x01\x00\x01\x00$(le32 22050)$(le32 44100)\x02\x00\x10\x00data$(le32 $data)" >"$voice/TheTimeIs.wav"
truncate -s $((data + 44)) "$voice/TheTimeIs.wav"
start_clock huge
wait_log huge "clip failed" || fail "huge: not refused"
grep -q "TheTimeIs.wav.*more than a clip" "$work/huge.err" || fail "huge: not named: $(grep 'clip failed' "$work/huge.err")"
sleep 1.5
alive huge
released huge
peak=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
[ "${peak:-0}" -lt 204800 ] || fail "huge: peak memory ${peak} kB"
finish huge
mv "$work/TheTimeIs.wav.saved" "$voice/TheTimeIs.wav"

# 8. Horatone.ini a FIFO, a link to /dev/zero, 100 MB or unreadable: start-up names it and the
# reason and ends without keying, unless told to go on with the defaults.
cp "$ini" "$work/ini.saved"
unprivileged=()  # root reads any file whatever its mode; take that right away for case 4
[ "$(id -u)" -eq 0 ] && unprivileged=(setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search)
bad_ini() {  # bad_ini NAME TEXT
  run "$1" timeout 10 "${unprivileged[@]}" "$bin" --headless --root "$work" --node stdio --audio null
  wait "$pid"; rc=$?; exec {node_fd}>&-
  [ $rc -eq 1 ] || fail "$1: exit status $rc, not 1"
  grep -q "Horatone.ini: $2" "$work/$1.err" || fail "$1: no message '$2': $(cat "$work/$1.err")"
  grep -q "TRANSMIT 1" "$work/$1.out" && fail "$1: keyed"
}
rm -f "$ini" && mkfifo "$ini" && bad_ini fifo "not a regular file (a FIFO)"
rm -f "$ini" && ln -s /dev/zero "$ini" && bad_ini zero "not a regular file (a character device)"
rm -f "$ini" && truncate -s 100M "$ini" && bad_ini big "104857600 bytes, more than a settings file can be"
cp "$work/ini.saved" "$ini" && chmod 000 "$ini" && bad_ini unreadable "cannot be read: Permission denied"
run goon "${unprivileged[@]}" "$bin" --headless --root "$work" --node stdio --audio null --ignore-settings-errors
wait_log goon "cannot be read: Permission denied; using the defaults" || fail "goon: no message"
alive goon
kill -TERM "$pid"; wait "$pid" || fail "goon: exit status $?"
exec {node_fd}>&-
released goon
rm -f "$ini" && cp "$work/ini.saved" "$ini"

# 9. A system directory that does not exist or is a file: a clear error at start-up.
for root in "$work/missing" "$ini"; do
  "$bin" --headless --root "$root" --node stdio --audio null </dev/null >"$work/root.out" 2>"$work/root.err"
  rc=$?
  [ $rc -eq 2 ] || fail "--root $root: exit status $rc"
  grep -q "system directory.*$(basename "$root").*\(does not exist\|is not a folder\)" "$work/root.err" ||
    fail "--root $root: $(cat "$work/root.err")"
  [ -s "$work/root.out" ] && fail "--root $root: spoke to the node"
done

# 10. kill -9 while the settings are written: the file reads, the key is old or new, no leftovers.
cfg() { "$bin" config --root "$work" "$@"; }
cfg save >/dev/null || fail "save: the first save failed"
old=$(cfg get TEXT9)
for i in $(seq 1 40); do
  # The program itself in the background (not the function, whose subshell would be the one
  # killed while the program went on writing).
  if [ $((i % 2)) -eq 0 ]; then new="value $i"; "$bin" config --root "$work" set TEXT9 "$new" >/dev/null 2>&1 &
  else new=$old; "$bin" config --root "$work" save >/dev/null 2>&1 &
  fi
  victim=$!
  sleep "0.00$((RANDOM % 10))"
  kill -9 "$victim" 2>/dev/null
  wait "$victim" 2>/dev/null
  cfg show >"$work/show.txt" 2>&1 || fail "kill -9 #$i: the settings file does not read"
  [ "$(grep -c = "$work/show.txt")" -eq 66 ] || fail "kill -9 #$i: not 66 keys"
  now=$(cfg get TEXT9)
  [ "$now" = "$old" ] || [ "$now" = "$new" ] || fail "kill -9 #$i: TEXT9 is '$now', neither '$old' nor '$new'"
  old=$now
done
cfg save >/dev/null || fail "save after kill -9: failed"
left=$(find "$work" -maxdepth 1 -name '.Horatone.ini.*' | wc -l)
[ "$left" -eq 0 ] || fail "save after kill -9: $left temporary files left"

[ $failures -eq 0 ] && echo "all faults handled"
exit $((failures > 0))
