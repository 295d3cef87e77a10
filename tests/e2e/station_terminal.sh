#!/bin/sh
# station_terminal.sh LAUNCHER STATION MAKE_DRIVER DIR FLASHPREP
# flashprep-station in a real terminal (tmux) with two simulated boards,
# files of a folder, each held at chosen blocks until the test lets it go:
# the live view redraws one line per board with a bar and the time left and
# an overall line, cut to the terminal's width and drawn again whole when the
# terminal is resized (160 columns, then 70), then the closing table;
# Ctrl-C typed there stops both boards after the exchange in flight, once
# each, the view says so, and the station ends by SIGINT (130); watching, it
# says it watches before any board comes (drawn again whole when resized
# right after), a line per port stays, EMPTY once its board is pulled out; a
# drawing shorter than the one before leaves nothing of it below; a
# terminal that does not know its size is drawn at the default 80x24; a
# board flashprep alone holds is BUSY, with no row in the closing table.
# Fails, never skips, when tmux is missing: tools/test installs it.
set -u
launcher=$1 station=$2 make_driver=$3 dir=$4 flashprep=$5
command -v tmux >/dev/null 2>&1 || { echo "tmux not installed (apt-get install tmux)"; exit 1; }
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1
# The boards' claims of this test's stations, its own.
export FLASHPREP_LOCK_DIR="$dir/claims"
"$make_driver" serial_flash.S19 3000 >/dev/null || exit 1
socket=none
alone=none
trap 'tmux -L "$socket" kill-server 2>/dev/null; [ "$alone" = none ] || kill "$alone" 2>/dev/null' EXIT

. "$(dirname "$0")/tmux_lib.sh"
# Two bars, the overall line and nothing else on the screen, no line
# reaching the last column: a redrawing that does not go back over its own
# lines, or lines that wrap, leave old ones behind.
both_bars() {
  screen=$(tmux -L "$socket" capture-pane -p)
  width=$(tmux -L "$socket" display -p '#{pane_width}')
  [ "$(printf '%s\n' "$screen" | grep -Ec "$1")" -eq 2 ] &&
    [ "$(printf '%s\n' "$screen" | grep -Ec '^[0-2] of 2 done: [0-2] READY, 0 NOT READY, [0-2] running$')" -eq 1 ] &&
    [ "$(printf '%s\n' "$screen" | grep -c .)" -eq 3 ] &&
    [ "$(printf '%s\n' "$screen" | awk -v w="$width" 'length($0) >= w' | wc -l)" -eq 0 ]
}
# The latest log of board NAME.
latest_log() { ls station-logs/"$1".????????T??????Z*.log 2>/dev/null | tail -n 1; }
# held_boards BLOCKS: boards a and b in a new folder boards, each held
# before the format replies of BLOCKS: it creates hold-a or hold-b when it
# gets there, and goes on once the test has removed it. One file per board:
# a file shared would be created again by one board before the other saw it
# gone.
held_boards() {
  rm -rf boards && mkdir boards || exit 1
  for b in a b; do
    printf 'FLASHPREP_SIM_HOLD_FILE=%s\nFLASHPREP_SIM_HOLD_BLOCKS=%s\n' "$dir/hold-$b" "$1" >boards/$b
  done
}
# start NAME WIDTH SETTINGS [ARGUMENT [LINE]]: a terminal server of its own
# for each run; LINE is printed before the station starts, as a prompt would
# be.
start() {
  tmux -L "$socket" kill-server 2>/dev/null
  socket="station-test-$$-$1"
  width=$2
  shift 2
  # The shell that runs the station outlives a Ctrl-C to tell its status;
  # a trap (unlike an ignored signal) is not passed on to the station.
  tmux -L "$socket" new-session -d -x "$width" -y 30 -c "$dir" \
    "trap true INT; ${3:+echo '$3';} env $1 '$launcher' '$station' ${2:-}; echo EXIT \$?; sleep 600"
}

# A whole run: the live lines while the boards format, at 160 columns and,
# once resized, at 70; then the table. The boards are held before blocks
# 1000 and 2000: the view sees the pass under way before block 1000 is let
# go, and the pace after it gives the time left; the boards are still
# formatting, however slow the machine, while the view is looked at.
held_boards 1000,2000
start whole 160 "FLASHPREP_SIM_BOARDS=$dir/boards"
wait_for 60 both_bars '^sim-[ab] +FORMAT +\[#*\.*\] [0-9]+/4096' ||
  fail "the format pass was not seen under way on both boards"
rm -f hold-a hold-b
bar='^sim-[ab] +FORMAT +\[#*\.*\] [0-9]+/4096  [0-9]+:[0-9][0-9] left$'
wait_for 60 both_bars "$bar" || fail "no live line with a bar for each board at 160 columns"
tmux -L "$socket" resize-window -x 70
wait_for 30 both_bars "$bar" || fail "the view was not drawn again whole at 70 columns"
# Held again at block 2000, in a terminal of three rows: a grid, each cell
# with the share of the 4096 blocks that its board's bar counted, rounded
# down (a count held there makes 48 % of it; one point more would be 49).
held_late() { [ -e hold-a ] && [ -e hold-b ] && both_bars '^sim-[ab] +FORMAT +\[#*\.*\] 20[0-9]{2}/4096'; }
wait_for 60 held_late || fail "the boards were not held at block 2000"
share() { echo $(($(screen | sed -n "s|^$1 .* \([0-9]*\)/4096 .*|\1|p") * 100 / 4096)); }
pa=$(share sim-a) pb=$(share sim-b)
tmux -L "$socket" resize-window -x 70 -y 3
wait_for 30 screen_has "^ sim-a FORMAT $pa% sim-b FORMAT $pb%\$" ||
  fail "no grid cell of $pa% and $pb% in a terminal of three rows"
tmux -L "$socket" resize-window -x 70 -y 30
# Each board creates its file again at block 2000.
let_go_and_ended() { rm -f hold-a hold-b; screen_has '^EXIT'; }
wait_for 120 let_go_and_ended || fail "the station did not end"
screen_has '^EXIT 0$' || fail "exit status not 0"
screen_has '^NAME +VERDICT +SECONDS +LOG +REASON$' || fail "no closing table"
screen_has '^Logs in station-logs$' || fail "the table does not say where the logs are"
[ "$(tmux -L "$socket" capture-pane -p | grep -Ec '^sim-[ab] +READY +[0-9.]+ +sim-[ab]\.[0-9]{8}T[0-9]{6}Z\.log *$')" -eq 2 ] ||
  fail "the table does not list both boards READY with their logs"
screen_has '^2 of 2 done: 2 READY, 0 NOT READY, 0 running$' || fail "no overall line at the end"
screen_has '^DONE 2 READY, 0 NOT READY$' || fail "no DONE line"
screen_has '^(FOUND|STARTED|FINISHED) ' && fail "plain event lines on a terminal"
screen_has 'STOPPED BY SIGNAL' && fail "the table of a station nobody stopped says it was stopped"
[ "$(tail -n 1 "$(latest_log sim-b)")" = "BLOCK 4095 FORMATTED" ] || fail "log not complete"

# Ctrl-C while block 5's reply is held on both boards: the terminal sends
# SIGINT to the station alone, which passes it on once, and the boards
# answer once the view says so; a board's process that got it twice would
# end before block 5's line.
rm -rf station-logs
held_boards 5
start ctrl-c 120 "FLASHPREP_SIM_BOARDS=$dir/boards"
pending() { [ -e hold-a ] && [ -e hold-b ]; }
wait_for 60 pending || fail "the boards were not held at block 5"
tmux -L "$socket" send-keys C-c
wait_for 30 screen_has '^STOPPING ON SIGNAL 2: each board ends its exchange' ||
  fail "the view did not say the station is stopping"
rm hold-a hold-b
wait_for 30 screen_has '^EXIT' || fail "the station did not end after Ctrl-C"
screen_has '^EXIT 130$' || fail "the station did not end by SIGINT"
# The last drawing has no stop under way: one line shorter than the one
# before it, whose stop line must not stay under it.
screen_has '^STOPPING ON SIGNAL' && fail "the stop's line left under the last drawing"
for log in "$(latest_log sim-a)" "$(latest_log sim-b)"; do
  [ "$(tail -n 1 "$log")" = "BLOCK 5 FORMATTED" ] || fail "$log does not end with block 5's line"
done
screen_has '^sim-[ab] +NOT READY +[0-9.]+ +sim-[ab]\..*\.log +STOPPED BY SIGNAL 2$' ||
  fail "no NOT READY row stopped by signal 2 for a stopped board"
screen_has '^STOPPED BY SIGNAL 2$' || fail "the closing table does not say the station was stopped"

# Watching: a line per port that stays; a port whose board was pulled out
# shows EMPTY and its last verdict; Ctrl-C ends it by SIGINT.
rm -rf station-logs boards && mkdir boards
start watch 70 "FLASHPREP_SIM_BOARDS=$dir/boards" --watch "BEFORE THE STATION"
wait_for 30 screen_has '^WATCHING: 0 prepared \(0 READY, 0 NOT READY\); plug a board in$' ||
  fail "nothing says the station watches while no board is plugged"
# Resized right after that first drawing, to fewer columns than its line:
# the terminal folds the line in two and pushes the line above into its
# history, keeping the cursor's row; the view is drawn again from the top,
# one line cut to the new width, nothing of the folded one left.
watching_only() {
  [ "$(screen | grep -c .)" -eq 1 ] && screen_has "^$1\$" &&
    [ "$(screen | awk -v w="$2" 'length($0) >= w' | wc -l)" -eq 0 ]
}
tmux -L "$socket" resize-window -x 30
wait_for 30 watching_only 'WATCHING: 0 prepared \(0 READY' 30 ||
  fail "not drawn again whole after a resize right after the first drawing"
tmux -L "$socket" resize-window -x 70
wait_for 30 watching_only 'WATCHING: 0 prepared \(0 READY, 0 NOT READY\); plug a board in' 70 ||
  fail "not drawn again whole at 70 columns"
: >boards/a
# b's reason is longer than the 70 columns: its line is cut, not wrapped.
echo FLASHPREP_SIM_FORMAT_REQUEST_FAILS=9,19,29,39,49,59,69,79,89,99,109,119 >boards/b
wait_for 30 screen_has '^sim-b +NOT READY +[0-9.]+ s  BLOCKS NOT FORMATTED: 12 \(9, 19, 29' ||
  fail "no NOT READY line for sim-b"
screen=$(tmux -L "$socket" capture-pane -p)
[ "$(printf '%s\n' "$screen" | awk 'length($0) >= 70' | wc -l)" -eq 0 ] ||
  fail "a line as wide as the 70-column terminal"
[ "$(printf '%s\n' "$screen" | grep -c '^sim-b ')" -eq 1 ] || fail "sim-b's line drawn twice"
# Plugged in together, either board may finish first.
wait_for 30 screen_has '^sim-a +READY +[0-9.]+ s$' || fail "no READY line for sim-a"
rm boards/a
wait_for 10 screen_has '^sim-a +EMPTY +last: READY [0-9.]+ s$' || fail "no EMPTY line for sim-a"
screen_has '^sim-b +NOT READY' || fail "sim-b's line went"
# Drawn again several times since sim-b's long line came: a drawing that
# goes back over too few rows (a line that wrapped) leaves copies behind.
[ "$(tmux -L "$socket" capture-pane -p | grep -c '^sim-[ab] ')" -eq 2 ] ||
  fail "a board's line is on the screen more than once"
tmux -L "$socket" send-keys C-c
wait_for 30 screen_has '^EXIT' || fail "the watching station did not end after Ctrl-C"
screen_has '^EXIT 130$' || fail "the watching station did not end by SIGINT"
screen_has '^DONE 1 READY, 1 NOT READY$' || fail "no DONE line for the session"
screen_has '^STOPPED BY SIGNAL 2$' || fail "the watching station's table does not say it was stopped"

# A terminal that does not know its size (a serial console; here one told
# it is 0 by 0 inside a 160-column pane) is drawn at 80 by 24: each board's
# bar, no line reaching the 80th column.
held_boards 1000
tmux -L "$socket" kill-server 2>/dev/null
socket="station-test-$$-unsized"
tmux -L "$socket" new-session -d -x 160 -y 30 -c "$dir" \
  "stty rows 0 cols 0; echo SIZE \$(stty size); env FLASHPREP_SIM_BOARDS='$dir/boards' '$launcher' '$station'; echo EXIT \$?; sleep 600"
wait_for 30 screen_has '^SIZE 0 0$' || fail "the terminal could not be told it is 0 by 0"
bars_at_80() {
  [ "$(screen | grep -Ec '^sim-[ab] +FORMAT +\[#*\.*\] [0-9]+/4096')" -eq 2 ] &&
    [ "$(screen | awk 'length($0) >= 80' | wc -l)" -eq 0 ]
}
wait_for 60 bars_at_80 || fail "no bar for each board cut to 80 columns in a terminal of no size"
wait_for 120 let_go_and_ended || fail "the station in a terminal of no size did not end"
screen_has '^EXIT 0$' || fail "exit status not 0 in a terminal of no size"

# flashprep alone on board a, held at block 3: the station's run finds the
# board held, so the board is BUSY, a run of no one's here, which the
# closing table has no row for.
rm -rf station-logs boards && mkdir boards
printf 'FLASHPREP_SIM_HOLD_FILE=%s\nFLASHPREP_SIM_HOLD_BLOCKS=3\n' "$dir/hold-a" >boards/a
FLASHPREP_SIM_BOARDS="$dir/boards" "$launcher" "$flashprep" >alone.out 2>&1 &
alone=$!
wait_for 60 [ -e hold-a ] || fail "flashprep alone did not hold board a"
start busy 120 "FLASHPREP_SIM_BOARDS=$dir/boards"
wait_for 60 screen_has '^EXIT' || fail "the station did not end beside a board held"
screen_has '^EXIT 1$' || fail "exit status not 1 with a board BUSY"
screen_has '^DONE 0 READY, 0 NOT READY, 1 BUSY$' || fail "no DONE line with the board BUSY"
screen_has '^sim-a ' && fail "a row or a line of sim-a's as if it had had a run here"
kill "$alone" && rm -f hold-a && wait "$alone"
alone=none
echo "live view, closing table and Ctrl-C as expected, one pass and watching"
