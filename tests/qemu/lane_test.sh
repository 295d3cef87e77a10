#!/bin/sh
# flashprep inside a QEMU guest, against the usbredir board, next to the same
# scenario on the preloaded board:
#   lane_test.sh SOURCE_DIR BUILD_DIR CASE [LANE OPTION...]
# The lane options (--libusb, --controller, --hub) choose the library and the
# port; --guest-build DIR has the guest run that build's programs (an arm64
# build: an arm64 guest), against the same boards and reference runs of
# BUILD_DIR, this machine's build. Each case boots one guest (tools/qemu-lane/run) and prints "ok" or
# "not ok" per check; the exit status is 1 when any check failed.
set -u
src=$1
build=$2
case_name=$3
shift 3
lane_options="$*"
controller=xhci
guest_build=$build
while [ $# -gt 0 ]; do
  [ "$1" = --controller ] && controller=$2
  [ "$1" = --guest-build ] && guest_build=$2
  shift
done
# The machine the guest must be: that of the programs it is to run.
case $(od -An -tu2 -j18 -N2 "$guest_build/flashprep" | tr -d ' ') in
  62) guest_machine=x86_64 ;;
  183) guest_machine=aarch64 ;;
  *) guest_machine=unknown ;;
esac
scratch=$(mktemp -d "${TMPDIR:-/tmp}/flashprep-lane-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
reference_build=$build
. "$src/tests/lane_lib.sh"

# lane RUNS [--second | --boards DIR --logs DIR [--plan FILE]] VAR=VALUE...:
# the scenario through the guest, RUNS runs in one boot (with run --interrupt
# "$interrupt" and --mark "$mark" when set); leaves lane.out, lane.state, the
# report and lane_status.
interrupt=""
mark=""
lane() {
  runs=$1
  shift
  second=""
  [ "${1:-}" = --second ] && second=$1 && shift
  [ "${1:-}" = --boards ] && second="$1 $2 $3 $4" && shift 4
  [ "${1:-}" = --plan ] && second="$second $1 $2" && shift 2
  lane_status=0
  # shellcheck disable=SC2086 # the lane options are a list of arguments
  env "$@" FLASHPREP_SIM_STATE="$scratch/lane.state" "$src/tools/qemu-lane/run" \
    --build "$build" --runs "$runs" --interrupt "$interrupt" --mark "$mark" \
    --report "$scratch/report" \
    $lane_options $second \
    >"$scratch/lane.out" || lane_status=$?
  if [ "$lane_status" -eq 125 ] || [ ! -f "$scratch/report" ]; then
    echo "not ok - the lane could not run the guest"
    exit 1
  fi
  cat "$scratch/report"
  check "the guest is $guest_machine, as the programs of $guest_build" \
    has_line "$scratch/report" "machine $guest_machine"
}

# field K NAME: a value of run K in the report.
field() {
  awk -v k="$1" -v f="$2" '
    $1 == "run" && $2 == k { for (i = 3; i < NF; i += 2) if ($i == f) print $(i + 1) }' \
    "$scratch/report"
}

# run_output K: the lines run K printed.
run_output() {
  first=1
  k=1
  while [ "$k" -lt "$1" ]; do
    first=$((first + $(field "$k" lines)))
    k=$((k + 1))
  done
  tail -n "+$first" "$scratch/lane.out" | head -n "$(field "$1" lines)"
}

case $case_name in
  full_run | shortened_run)
    # A long run with a refused driver block (a stalled OUT of five packets),
    # short and oversized replies (IN transfers of 129 and 300 bytes), a
    # refused format request and a refused table write along the way; an I/O
    # error on the body of driver block 7 (which the guest's xHCI driver
    # retries), and early in the format pass I/O errors on the IN body of
    # block 2, the OUT body of block 6 and transfer 101 (the OUT header of
    # block 17, or block 16's IN header where block 11 sends its header
    # whole), and a byte lost from the IN body of block 4 (256 bytes: four
    # full packets and a zero-length one) and from the IN header of block 5.
    faults=error@20,error@50,short@58,short@61,error@63,error@101
    lines="BLOCK 3 FAILED|BLOCK 7 FAILED|BLOCK 10 DOWNLOADED|FAIL: WRITING BLOCK 2529"
    for n in 2 4 5 6 100 200 300; do
      lines="$lines|FAIL: FORMATTING BLOCK $n"
    done
    # A byte lost from a write (the body of driver block 5, the OUT header of
    # block 11): on a wire a device takes or refuses whole packets, and
    # QEMU's OHCI, like hardware, counts an accepted OUT packet whole. Its
    # xHCI and UHCI pass on the count the board reports.
    if [ "$controller" != ohci ]; then
      faults=$faults,short@16,short@80
      lines="$lines|BLOCK 5 FAILED|FAIL: FORMATTING BLOCK 11|FAIL: FORMATTING BLOCK 17"
    else
      lines="$lines|FAIL: FORMATTING BLOCK 16"
    fi
    # Time-outs: on the body of driver block 9, where the board has taken
    # four packets when the host gives up (libusb 0.1 returns the time-out,
    # libusb-compat the 256 bytes that went), and on the IN body of block 8,
    # whose every queued request the board holds until the host cancels
    # them. QEMU's xHCI has a whole OUT transfer in one request and reports
    # it sent whole once cancelled (it counts OUT bytes as it hands them
    # over), which libusb-compat returns as a complete write: a lane
    # artefact. The time-outs, 5 s each, are left to the other ports.
    if [ "$controller" != xhci ]; then
      faults=$faults,timeout@24,timeout@71
      lines="$lines|BLOCK 9 FAILED|FAIL: FORMATTING BLOCK 8"
    fi
    # A serial number with a space and signs in it: the guest's kernel
    # reads it at enumeration, and sysfs shows it.
    set -- FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS=3 FLASHPREP_SIM_SHORT_REPLY=100 \
      FLASHPREP_SIM_OVERSIZED_REPLY=200 FLASHPREP_SIM_FORMAT_REQUEST_FAILS=300 \
      FLASHPREP_SIM_REFUSE_WRITES=2529 FLASHPREP_SIM_FAULT=$faults \
      "FLASHPREP_SIM_SERIAL=FP 0042/b#7"
    # On the slow ports the board goes away after transfer 2100, once every
    # exchange above (the refused table write is the last) has happened; the
    # remaining blocks then fail at once.
    [ "$case_name" = shortened_run ] && set -- "$@" FLASHPREP_SIM_UNPLUG_AFTER=2100
    reference ref "$@"
    lane 1 "$@"
    check "exit status 0" [ "$lane_status" -eq 0 ]
    check "output as on the preloaded board" same_text "$scratch/ref.out" "$scratch/lane.out"
    check "board state as on the preloaded board" same_state ref
    check "the guest's sysfs has the board's serial number" \
      grep -qF ' serial=FP 0042/b#7' "$scratch/report"
    old_ifs=$IFS
    IFS='|'
    for line in $lines; do
      check "$line" has_line "$scratch/lane.out" "$line"
    done
    IFS=$old_ifs
    formatted=$(count_lines "$scratch/lane.out" ' FORMATTED$')
    if [ "$case_name" = full_run ]; then
      failing=$(echo "$lines" | tr '|' '\n' | grep -c '^FAIL: FORMATTING')
      check "every other block formatted ($formatted)" [ "$formatted" -eq $((4064 - failing)) ]
    else
      check "formatted up to the unplug ($formatted)" between "$formatted" 500 520
      check "the last block failed" has_line "$scratch/lane.out" "FAIL: FORMATTING BLOCK 4095"
    fi
    summary_status=0
    "$build/flashprep-summary" "$scratch/lane.out" >/dev/null || summary_status=$?
    check "the summary of the guest's output is NOT READY" [ "$summary_status" -eq 1 ]
    # The run's time on the guest clock, identify and download included.
    awk '$1 == "run" { printf "# run: %d ms on the guest clock, %.2f ms per formatted block\n",
                       $6, $6 / 4064 }' "$scratch/report"
    ;;
  silent_then_two_processes)
    # Run 1 meets a bootloader that does not answer: one real time-out. Run 2
    # on the same board must find nothing left of that discarded read. While
    # run 2 formats, a second flashprep starts on the same board: the
    # kernel's claim keeps it out, and neither its failed start nor its
    # release and close may touch run 2's claim, output or board.
    reference ref
    reference once FLASHPREP_SIM_BOOTLOADER=silent-once
    lane 2 --second FLASHPREP_SIM_BOOTLOADER=silent-once
    run_output 1 >"$scratch/run1.out"
    run_output 2 >"$scratch/run2.out"
    sed -n 's/^second_out //p' "$scratch/report" >"$scratch/second.out"
    echo "FAIL: UNABLE TO START DRIVER" >"$scratch/unable.out"
    second_ms=$(awk '$1 == "second" { print $5 }' "$scratch/report")
    check "exit status 0" [ "$lane_status" -eq 0 ]
    check "run 1 as on the preloaded board" same_text "$scratch/once.out" "$scratch/run1.out"
    check "run 1 reports the missing bootloader" \
      has_line "$scratch/run1.out" "FAIL: BOOTLOADER NOT PRESENT"
    check "run 1 waited one 5000 ms time-out ($(field 1 ms) ms)" between "$(field 1 ms)" 5000 8000
    check "run 2 as a healthy board on the preloaded board" \
      same_text "$scratch/ref.out" "$scratch/run2.out"
    check "board state as after one healthy run" same_state ref
    check "the second flashprep could not start" \
      same_text "$scratch/unable.out" "$scratch/second.out"
    # Within a second, as a user would see it: 190 to 350 ms on the guest
    # clock with two guests sharing the two cores. A host loaded several
    # times over stretches that (up to 2.9 s seen with libusb-compat under
    # other builds); a second flashprep that waited for the board would take
    # its 5000 ms time-out.
    check "within a second ($second_ms ms)" between "$second_ms" 0 999
    check "run 2 kept its claim on the board's interface" \
      has_line "$scratch/report" "claim usbfs"
    ;;
  unplug_in_format)
    # Transfer 4000 falls in the format pass, near block 990.
    reference ref FLASHPREP_SIM_UNPLUG_AFTER=4000
    lane 1 FLASHPREP_SIM_UNPLUG_AFTER=4000
    formatted=$(count_lines "$scratch/lane.out" ' FORMATTED$')
    refused=$(count_lines "$scratch/lane.out" '^FAIL: FORMATTING BLOCK ')
    check "exit status 0" [ "$lane_status" -eq 0 ]
    check "output as on the preloaded board" same_text "$scratch/ref.out" "$scratch/lane.out"
    check "board state as on the preloaded board" same_state ref
    check "unplugged in the middle ($formatted formatted)" between "$formatted" 900 1100
    check "no serial number unless one is set" grep -q '^port .* serial=none' "$scratch/report"
    check "one line for every block" [ $((formatted + refused)) -eq 4064 ]
    check "the last block failed" has_line "$scratch/lane.out" "FAIL: FORMATTING BLOCK 4095"
    # A transfer that waited for its time-out would alone take 5000 ms.
    check "ended promptly ($(field 1 ms) ms)" between "$(field 1 ms)" 0 4999
    ;;
  empty_identify_reply)
    # The reply header 00 00: the host reads a body of zero bytes, which the
    # device must complete at once with an empty packet, twice.
    reference ref FLASHPREP_SIM_BOOTLOADER=empty
    lane 2 FLASHPREP_SIM_BOOTLOADER=empty
    run_output 1 >"$scratch/run1.out"
    run_output 2 >"$scratch/run2.out"
    check "exit status 0" [ "$lane_status" -eq 0 ]
    check "run 1 as on the preloaded board" same_text "$scratch/ref.out" "$scratch/run1.out"
    check "run 2 as on the preloaded board" same_text "$scratch/ref.out" "$scratch/run2.out"
    check "the reply is refused" has_line "$scratch/run1.out" "FAIL: BOOTLOADER NOT PRESENT"
    check "run 1 waited no time-out ($(field 1 ms) ms)" between "$(field 1 ms)" 0 1999
    check "run 2 waited no time-out ($(field 2 ms) ms)" between "$(field 2 ms)" 0 1999
    check "board state as on the preloaded board" same_state ref
    ;;
  interrupted_format_reply)
    # Ctrl-C while the host waits for a format reply (block 5's takes 2 s):
    # run 1 reads that reply, reports the block, closes the device and ends
    # by SIGINT (the shell's status 130); run 2 on the same board must find
    # nothing left of run 1 and be a whole run whose tables match the blocks.
    reference ref
    head -n 26 "$scratch/ref.out" >"$scratch/ref-to-block5.out"
    interrupt="1:BLOCK 4 FORMATTED"
    lane 2 FLASHPREP_SIM_FORMAT_DELAY_MS=2000 FLASHPREP_SIM_FORMAT_DELAY_BLOCKS=5
    run_output 1 >"$scratch/run1.out"
    run_output 2 >"$scratch/run2.out"
    check "run 1 ended by SIGINT (status $(field 1 status))" [ "$(field 1 status)" = 130 ]
    check "run 1 stopped after block 5's reply" \
      same_text "$scratch/ref-to-block5.out" "$scratch/run1.out"
    check "run 2 exit status 0" [ "$(field 2 status)" = 0 ]
    check "run 2 as a healthy run" same_text "$scratch/ref.out" "$scratch/run2.out"
    check "flash as after one healthy run" \
      cmp "$scratch/ref.state/flash.bin" "$scratch/lane.state/flash.bin"
    check "the report finds the tables matching" \
      sh -c '"$1" "$2" | grep -qx "tables MATCH the blocks"' - \
      "$build/flashprep-sim-report" "$scratch/lane.state"
    ;;
  station_four_boards | station_two_boards)
    # Four boards behind one hub, each served by its own process with its own
    # scenario, and flashprep-station in the guest preparing them at once:
    # each board's log and state must be that board's run alone on the
    # preloaded board. One has faults (xHCI-safe ones, as in full_run), one
    # is unplugged in the format pass, one has other weak cells. Two boards:
    # the first two of them.
    mkdir "$scratch/boards"
    printf '# healthy\n' >"$scratch/boards/a"
    printf 'FLASHPREP_SIM_FAULT=error@20,error@50,short@58,short@80\nFLASHPREP_SIM_REFUSE_WRITES=2529\n' \
      >"$scratch/boards/b"
    plugged="a b"
    if [ "$case_name" = station_four_boards ]; then
      printf 'FLASHPREP_SIM_UNPLUG_AFTER=4000\n' >"$scratch/boards/c"
      printf 'FLASHPREP_SIM_WEAK_SEED=7\n' >"$scratch/boards/d"
      plugged="a b c d"
    fi
    lane 1 --boards "$scratch/boards" --logs "$scratch/logs"
    check "the station's exit status is 1 (not every board READY)" [ "$lane_status" -eq 1 ]
    for bn in $plugged; do  # not `name`: reference() sets it
      # shellcheck disable=SC2046 # one setting a line, none with spaces
      reference "alone-$bn" $(grep -v '^#' "$scratch/boards/$bn")
      check "board $bn: log as its run alone" \
        same_text "$scratch/alone-$bn.out" "$scratch/logs/$bn.log"
      check "board $bn: state as its run alone" same_state "alone-$bn" "boards/$bn.state"
      # The table of the closing note: board, scenario, the station's
      # verdict, the board's seconds (from the station's FINISHED line).
      port=$(awk -v n="$bn" '$1 == "board" && $2 == n { print $4 }' "$scratch/report")
      awk -v p="$port" -v n="$bn" -v s="$(grep -v '^#' "$scratch/boards/$bn" | tr '\n' ' ')" '
        $1 == "FINISHED" && $2 == p {
          seconds = $3; $1 = $2 = $3 = ""; sub(/^ +/, "")
          print "# board " n " (" p "): " (s == "" ? "healthy " : s) "| " $0 " | " seconds " s" }' \
        "$scratch/lane.out"
    done
    [ "$case_name" = station_two_boards ] ||
      check "board c was unplugged in the middle" \
        has_line "$scratch/logs/c.log" "FAIL: FORMATTING BLOCK 4095"
    check "the whole run within 90 s ($(field 1 ms) ms)" between "$(field 1 ms)" 0 90000
    ;;
  station_hotplug)
    # flashprep-station --watch in the guest while boards are plugged in and
    # pulled out through QEMU's monitor: a, then b once a formats, then c
    # once b formats; c pulled out once it formats, and plugged in again once
    # every run has finished. Each board must be prepared once per plug: a
    # and b and c's second run as each alone, c's first run cut in its
    # format pass; none prepared again while left plugged (the guest lingers
    # 3 s after the last run before it stops the station).
    mkdir "$scratch/boards"
    printf '# healthy\n' >"$scratch/boards/a"
    printf 'FLASHPREP_SIM_FORMAT_REQUEST_FAILS=7\n' >"$scratch/boards/b"
    printf 'FLASHPREP_SIM_REFUSE_WRITES=2529\n' >"$scratch/boards/c"
    # c goes back in last, once every other run has finished: the station
    # must then still be watching, and c's second run is the last to end.
    printf '%s\n' "plug a" "wait 1 MARK a" "plug b" "wait 1 MARK b" "plug c" "wait 1 MARK c" \
      "unplug c" "wait 1 FINISHED c" "wait 1 FINISHED a" "wait 1 FINISHED b" "plug c" \
      "wait 2 FINISHED c" >"$scratch/plan"
    mark="BLOCK 300 FORMATTED"
    lane 1 --boards "$scratch/boards" --logs "$scratch/logs" --plan "$scratch/plan"
    check "the station ended by SIGTERM (status $(field 1 status))" [ "$(field 1 status)" = 143 ]
    k=1
    for board in a b c; do
      plugs=$(grep -c "^plug $board\$" "$scratch/plan")
      # shellcheck disable=SC2046 # one setting a line, none with spaces
      reference "alone-$board" $(grep -v '^#' "$scratch/boards/$board")
      for word in STARTED FINISHED; do
        n=$(grep -cE "^$word [^ ]*-1\.$k " "$scratch/lane.out")
        check "board $board: $n lines $word for $plugs plug(s)" [ "$n" -eq "$plugs" ]
      done
      n=$(grep -c "^results {\"board\":\"[^\"]*-1\.$k\"" "$scratch/report")
      check "board $board: $n results records for $plugs plug(s)" [ "$n" -eq "$plugs" ]
      check "board $board: its last run's log as its run alone" \
        same_text "$scratch/alone-$board.out" "$scratch/logs/$board.$plugs.log"
      check "board $board: state as its run alone" same_state "alone-$board" "boards/$board.state"
      # The closing note's table: board, plug, verdict and seconds as the
      # station's FINISHED lines give them.
      awk -v k="$k" -v n="$board" '$1 == "FINISHED" && $2 ~ ("-1\\." k "$") {
          seconds = $3; run++; port = $2; $1 = $2 = $3 = ""; sub(/^ +/, "")
          print "# board " n " (" port ") plug " run ": " $0 " | " seconds " s" }' \
        "$scratch/lane.out"
      k=$((k + 1))
    done
    # c's first run: what its run alone printed up to the pull, then a
    # failure for every block left.
    cut=$scratch/logs/c.1.log
    kept=$(grep -m 1 -n '^FAIL' "$cut" | cut -d: -f1)
    head -n "$((${kept:-1} - 1))" "$scratch/alone-c.out" >"$scratch/alone-c.head"
    head -n "$((${kept:-1} - 1))" "$cut" >"$scratch/cut.head"
    formatted=$(count_lines "$cut" ' FORMATTED$')
    refused=$(count_lines "$cut" '^FAIL: FORMATTING BLOCK ')
    check "board c: pulled out in its format pass ($formatted formatted)" between "$formatted" 301 4000
    check "board c: its cut run as its run alone up to the pull" \
      same_text "$scratch/alone-c.head" "$scratch/cut.head"
    check "board c: one line for every block" [ $((formatted + refused)) -eq 4064 ]
    sed -n 's/^step //p' "$scratch/report" | sed 's/^/# step at /'
    # The guest stops the station 3 s after the last run, or at 120 s
    # whatever it does: under the limit, the station ran each plug once and
    # then idled as it should (75 s seen with other guests beside it).
    check "the station stopped before the guest's 120 s limit ($(field 1 ms) ms)" \
      between "$(field 1 ms)" 0 115000
    ;;
  *)
    echo "lane_test.sh: unknown case $case_name" >&2
    exit 2
    ;;
esac
exit "$failed"
