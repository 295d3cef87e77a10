#!/bin/sh
# station_terminal.sh LAUNCHER STATION MAKE_DRIVER DIR
# flashprep-station in a real terminal (tmux, 120 x 30) with two simulated
# boards: the live view redraws one line per board with a bar and the time
# left, then the closing table; Ctrl-C typed there stops both boards after
# the exchange in flight, once each, and the station ends by SIGINT (130);
# watching, a line per port stays, EMPTY once its board is pulled out.
# Fails, never skips, when tmux is missing: tools/test installs it.
set -u
launcher=$1 station=$2 make_driver=$3 dir=$4
command -v tmux >/dev/null 2>&1 || { echo "tmux not installed (apt-get install tmux)"; exit 1; }
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1
"$make_driver" serial_flash.S19 3000 >/dev/null || exit 1
socket=none
trap 'tmux -L "$socket" kill-server 2>/dev/null' EXIT

fail() {
  echo "FAIL: $1"
  echo "--- screen:"
  tmux -L "$socket" capture-pane -p
  exit 1
}
# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s.
wait_for() {
  limit=$(($1 * 10)); shift
  while ! "$@"; do
    limit=$((limit - 1))
    [ "$limit" -gt 0 ] || return 1
    sleep 0.1
  done
}
screen_has() { tmux -L "$socket" capture-pane -p | grep -Eq "$1"; }
# Two bars and nothing else on the screen: a redrawing that does not go back
# over its own lines leaves old ones behind.
both_bars() {
  screen=$(tmux -L "$socket" capture-pane -p)
  [ "$(printf '%s\n' "$screen" | grep -Ec "$1")" -eq 2 ] &&
    [ "$(printf '%s\n' "$screen" | grep -c .)" -eq 2 ]
}
# start NAME SETTINGS [ARGUMENT]: a terminal server of its own for each run.
start() {
  tmux -L "$socket" kill-server 2>/dev/null
  socket="station-test-$$-$1"
  shift
  # The shell that runs the station outlives a Ctrl-C to tell its status;
  # a trap (unlike an ignored signal) is not passed on to the station.
  tmux -L "$socket" new-session -d -x 120 -y 30 -c "$dir" \
    "trap true INT; env FLASHPREP_SIM_BOARD=two $1 '$launcher' '$station' ${2:-}; echo EXIT \$?; sleep 600"
}

# A whole run: the live lines while the boards format, then the table.
start whole "FLASHPREP_SIM_FORMAT_DELAY_MS=2"
bar='^00[12]-002 +FORMAT +\[#*\.*\] [0-9]+/4096  [0-9]+:[0-9][0-9] left$'
wait_for 60 both_bars "$bar" || fail "no live line with a bar for each board"
wait_for 120 screen_has '^EXIT' || fail "the station did not end"
screen_has '^EXIT 0$' || fail "exit status not 0"
screen_has '^NAME +VERDICT +SECONDS +LOG +REASON$' || fail "no closing table"
[ "$(tmux -L "$socket" capture-pane -p | grep -Ec '^00[12]-002 +READY +[0-9.]+ +station-logs/00[12]-002.log')" -eq 2 ] ||
  fail "the table does not list both boards READY"
screen_has '^DONE 2 READY, 0 NOT READY$' || fail "no DONE line"
screen_has '^(FOUND|STARTED|FINISHED) ' && fail "plain event lines on a terminal"
[ "$(tail -n 1 station-logs/002-002.log)" = "BLOCK 4095 FORMATTED" ] || fail "log not complete"

# Ctrl-C while block 5's reply is pending on both boards: the terminal sends
# SIGINT to the station alone, which passes it on once; a board's process
# that got it twice would end before block 5's line.
rm -rf station-logs
start ctrl-c "FLASHPREP_SIM_FORMAT_DELAY_MS=3000 FLASHPREP_SIM_FORMAT_DELAY_BLOCKS=5"
pending() { grep -q "BLOCK 4 FORMATTED" station-logs/001-002.log 2>/dev/null &&
  grep -q "BLOCK 4 FORMATTED" station-logs/002-002.log; }
wait_for 30 pending || fail "the boards did not reach block 5"
sleep 0.5
tmux -L "$socket" send-keys C-c
wait_for 30 screen_has '^EXIT' || fail "the station did not end after Ctrl-C"
screen_has '^EXIT 130$' || fail "the station did not end by SIGINT"
for log in station-logs/001-002.log station-logs/002-002.log; do
  [ "$(tail -n 1 "$log")" = "BLOCK 5 FORMATTED" ] || fail "$log does not end with block 5's line"
done
screen_has '^00[12]-002 +NOT READY +[0-9.]+ +station-logs/.* LOG CUT: AFTER LINE' ||
  fail "no NOT READY row for a stopped board"

# Watching: a line per port that stays; a port whose board was pulled out
# shows EMPTY and its last verdict; Ctrl-C ends it by SIGINT.
rm -rf station-logs boards && mkdir boards
start watch "FLASHPREP_SIM_BOARDS=$dir/boards" --watch
: >boards/a
echo FLASHPREP_SIM_FORMAT_REQUEST_FAILS=9 >boards/b
wait_for 30 screen_has '^sim-b +NOT READY +[0-9.]+ s  BLOCKS NOT FORMATTED: 1 \(9\)$' ||
  fail "no NOT READY line for sim-b"
# Plugged in together, either board may finish first.
wait_for 30 screen_has '^sim-a +READY +[0-9.]+ s$' || fail "no READY line for sim-a"
rm boards/a
wait_for 10 screen_has '^sim-a +EMPTY +last: READY [0-9.]+ s$' || fail "no EMPTY line for sim-a"
screen_has '^sim-b +NOT READY' || fail "sim-b's line went"
tmux -L "$socket" send-keys C-c
wait_for 30 screen_has '^EXIT' || fail "the watching station did not end after Ctrl-C"
screen_has '^EXIT 130$' || fail "the watching station did not end by SIGINT"
screen_has '^DONE 1 READY, 1 NOT READY$' || fail "no DONE line for the session"
echo "live view, closing table and Ctrl-C as expected, one pass and watching"
