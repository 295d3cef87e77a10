# Shared by the shell lane tests (wine/, compat/): a scenario run another way
# to the board is compared with the same scenario on the preloaded board of
# the Linux build, the reference. Source it after setting
#   scratch          an empty folder of the test's own
#   reference_build  the Linux build folder (flashprep, flashprep-sim, ...)
# Checks print "ok" or "not ok"; `failed` becomes 1 when one fails.
failed=0

check() {  # DESCRIPTION COMMAND...
  description=$1
  shift
  if "$@"; then
    echo "ok - $description"
  else
    echo "not ok - $description"
    failed=1
  fi
}

# reference NAME VAR=VALUE...: the scenario in-process on the preloaded board,
# in the folder NAME.dir; leaves NAME.out and the board state in NAME.state.
# A new folder gets the sample driver file; a folder made beforehand is used
# as it is (a test's own driver file, or none).
reference() {
  name=$1
  shift
  if [ ! -d "$scratch/$name.dir" ]; then
    mkdir "$scratch/$name.dir"
    "$reference_build/flashprep-make-driver" "$scratch/$name.dir/serial_flash.S19"
  fi
  (cd "$scratch/$name.dir" &&
    env "$@" FLASHPREP_SIM_STATE="$scratch/$name.state" \
      "$reference_build/flashprep-sim" "$reference_build/flashprep") \
    >"$scratch/$name.out"
}

same_text() {  # FILE FILE
  diff -u "$1" "$2" | head -n 20
  cmp -s "$1" "$2"
}

same_state() {  # REFERENCE-NAME [STATE-DIR, default lane.state]
  for f in ram.bin flash.bin events.txt; do
    cmp "$scratch/$1.state/$f" "$scratch/${2:-lane.state}/$f" || return 1
  done
}

has_line() {  # FILE LINE
  grep -qxF "$2" "$1"
}

between() {  # VALUE MIN MAX
  [ -n "$1" ] && [ "$1" -ge "$2" ] && [ "$1" -le "$3" ]
}

count_lines() {  # FILE PATTERN
  grep -c "$2" "$1"
}
