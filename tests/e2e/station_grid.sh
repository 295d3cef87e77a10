#!/bin/sh
# station_grid.sh LAUNCHER STATION MAKE_DRIVER DIR
# A watching flashprep-station in a real terminal (tmux) as a bench fills:
# 8 boards in 80x24 have a line each, as ever; 120 boards over four buses
# (names of 8 and 9 characters) are all on the screen at once at 80x24 and at
# 200x50, the counts on top right against the test's own, the boards that
# failed marked '!' and first, a board pulled out shown as such; the view
# starts below what the terminal held and is redrawn in place: the
# terminal's history grows only by what the view's first drawing of a
# larger size pushes up.
# Fails, never skips, when tmux is missing: tools/test installs it.
set -u
launcher=$1 station=$2 make_driver=$3 dir=$4
command -v tmux >/dev/null 2>&1 || { echo "tmux not installed (apt-get install tmux)"; exit 1; }
rm -rf "$dir" && mkdir -p "$dir/boards" && cd "$dir" || exit 1
# The boards' claims of this test's station, its own: in the machine's
# folder another run of this test (another tree's suite) would hold boards
# of the same names, and they would wait as BUSY.
export FLASHPREP_LOCK_DIR="$dir/claims"
"$make_driver" serial_flash.S19 3000 >/dev/null || exit 1
socket="station-grid-$$"
trap 'tmux -L "$socket" kill-server 2>/dev/null' EXIT

. "$(dirname "$0")/tmux_lib.sh"
history() { tmux -L "$socket" display -p '#{history_size}'; }

# Board i: on bus i % 4 (sim, sim1, sim2, sim3); every tenth, and the third,
# fails its block 7's format.
name_of() { n=$(printf 'b%03d' "$1"); bus=$(($1 % 4)); [ "$bus" -eq 0 ] && echo "sim-$n" || echo "sim$bus-$n"; }
fails() { [ $(($1 % 10)) -eq 0 ] || [ "$1" -eq 3 ]; }
plug() {
  i=$1
  while [ "$i" -le "$2" ]; do
    file=$(printf 'b%03d' "$i")
    {
      [ $((i % 4)) -ne 0 ] && echo "FLASHPREP_SIM_BUS=$((i % 4))"
      fails "$i" && echo "FLASHPREP_SIM_FORMAT_REQUEST_FAILS=7"
    } >"boards/.$file"
    mv "boards/.$file" "boards/$file"
    i=$((i + 1))
  done
}
# The names of boards FROM to TO, failing ones or the others.
names() {
  i=$1
  while [ "$i" -le "$2" ]; do
    if [ "$3" = failing ] && fails "$i"; then name_of "$i"; fi
    if [ "$3" = others ] && ! fails "$i"; then name_of "$i"; fi
    i=$((i + 1))
  done
}

# The screen's boards in reading order, each with its mark ('!' or ' ').
cells() { screen | grep -o '[ !]\{0,1\}sim[0-9]\{0,1\}-b[0-9]\{3\}' | sed 's/^\([^ !]\)/ \1/'; }
# Every board of 1 to N on the screen once, nothing else of a board; the
# failing ones marked and before every other; no line reaching the last
# column, none on the last row.
whole_grid() {
  n=$1 rows=$2 columns=$3
  cells >cells.txt
  [ "$(wc -l <cells.txt)" -eq "$n" ] || return 1
  { names 1 "$n" failing | sed 's/^/!/'; names 1 "$n" others | sed 's/^/ /'; } | sort >want.txt
  sort cells.txt | cmp -s - want.txt || return 1
  # marked ones first: no '!' after the first unmarked cell
  awk '/^ / { other = 1 } /^!/ && other { bad = 1 } END { exit bad }' cells.txt || return 1
  [ "$(screen | awk -v w="$columns" 'length($0) >= w' | wc -l)" -eq 0 ] || return 1
  [ "$(screen | sed -n "${rows}p")" = "" ]
}

# A line above, as a shell's prompt would be: the view starts below it.
tmux -L "$socket" new-session -d -x 80 -y 24 -c "$dir" \
  "trap true INT; echo BEFORE THE STATION; env FLASHPREP_SIM_BOARDS='$dir/boards' '$launcher' '$station' --watch; echo EXIT \$?; sleep 600"
wait_for 30 screen_has '^WATCHING: 0 prepared' || fail "the station did not start watching"

# Eight boards: a line each, then the overall line, as with a handful.
plug 1 8
wait_for 60 screen_has '^WATCHING: 8 prepared \(7 READY, 1 NOT READY\); plug a board in$' ||
  fail "the counts of 8 boards"
lines_of_8() {
  [ "$(screen | head -n 1)" = "BEFORE THE STATION" ] || return 1
  [ "$(screen | grep -c .)" -eq 10 ] || return 1
  for i in 1 2 3 4 5 6 7 8; do
    if fails "$i"; then verdict='NOT READY +[0-9.]+ s  BLOCKS NOT FORMATTED: 1 \(7\)'; else verdict='READY +[0-9.]+ s'; fi
    screen_has "^$(name_of "$i") +$verdict\$" || return 1
  done
}
wait_for 10 lines_of_8 || fail "8 boards are not a line each, below the line before"
[ "$(history)" -eq 0 ] || fail "the history grew with 8 boards"

# The rest of 120: a grid at 80x24 with every board, 13 NOT READY first.
# A drawing that needed every row would push the line before, and only it,
# into the history.
plug 9 120
wait_for 120 screen_has '^WATCHING: 120 prepared \(107 READY, 13 NOT READY\); plug a board in$' ||
  fail "the counts of 120 boards"
screen | grep -v '^BEFORE THE STATION$' | head -n 1 | grep -q '^WATCHING: 120 prepared' ||
  fail "the counts are not on top"
wait_for 10 whole_grid 120 24 80 || fail "not every board on the 80x24 screen, or not as marked"
screen_has '!sim3-b003 NR' || fail "b003 not NR"
screen_has ' sim1-b001 ok' || fail "b001 not ok"
[ "$(history)" -le 1 ] || fail "the history grew while 120 boards were drawn"
before=$(history)

# A board pulled out: its cell says so; the view was drawn again meanwhile.
rm boards/b051
wait_for 10 screen_has ' sim3-b051 --' || fail "the pulled board's cell"
wait_for 10 whole_grid 120 24 80 || fail "a board lost after the pull-out"
[ "$(history)" -eq "$before" ] || fail "the history grew while the view was redrawn"

# Wider: words in every cell.
tmux -L "$socket" resize-window -x 200 -y 50
wait_for 10 screen_has ' sim1-b001 READY( |$)' || fail "no words at 200x50"
wait_for 10 whole_grid 120 50 200 || fail "not every board on the 200x50 screen"
screen_has '!sim-b100 +NOT READY' || fail "b100 not NOT READY at 200x50"
screen_has ' sim3-b051 EMPTY' || fail "the pulled board's cell at 200x50"
# A taller terminal takes back the line the 80x24 drawing may have pushed
# up (tmux does so as it grows), and the view, redrawn from the top, needs
# far fewer rows than it has: nothing is left in the history.
[ "$(history)" -eq 0 ] || fail "the history grew at 200x50"
# Narrower again: the terminal itself folds the wide lines it holds and
# pushes what no longer fits into its history (tmux does so before the
# station hears of the resize); from then on the view adds nothing to it.
tmux -L "$socket" resize-window -x 80 -y 24
wait_for 10 screen_has ' sim1-b001 ok' || fail "not redrawn at 80x24 again"
wait_for 10 whole_grid 120 24 80 || fail "not every board after the resize back"
folded=$(history)
rm boards/b055
wait_for 10 screen_has ' sim3-b055 --' || fail "the second pulled board's cell"
[ "$(history)" -eq "$folded" ] || fail "the history grew after the resize back"

tmux -L "$socket" send-keys C-c
wait_for 30 screen_has '^EXIT' || fail "the station did not end after Ctrl-C"
screen_has '^EXIT 130$' || fail "the station did not end by SIGINT"
screen_has '^DONE 107 READY, 13 NOT READY$' || fail "no DONE line for the 120 boards"
echo "8 boards a line each; 120 all on the screen at 80x24 and 200x50, no history grown"
