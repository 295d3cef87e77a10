# What the tests that run the station in a real terminal (tmux) share;
# sourced by them, with $socket naming the test's own terminal server.

# fail WHY: says why, shows the screen and the size of the terminal's
# history, and ends the test.
fail() {
  echo "FAIL: $1"
  echo "--- screen:"
  tmux -L "$socket" capture-pane -p
  echo "--- lines in the terminal's history: $(tmux -L "$socket" display -p '#{history_size}')"
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
screen() { tmux -L "$socket" capture-pane -p; }
screen_has() { screen | grep -Eq "$1"; }
