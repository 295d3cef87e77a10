#!/bin/sh
# The Windows programs under Wine, next to the same scenario on the preloaded
# board of the Linux build:
#   lane_test.sh SOURCE_DIR WINDOWS_BUILD_DIR LINUX_BUILD_DIR CASE
# flashprep.exe runs beside the simulated libusb0.dll (simulated-board/ of the
# Windows build), beside libusb-win32's own libusb0.dll, or unpacked from the
# zip of tools/package-windows. Prints "ok" or "not ok" per check; the exit
# status is 1 when any check failed.
set -u
src=$1
windows=$2
reference_build=$3
case_name=$4
scratch=$(mktemp -d "${TMPDIR:-/tmp}/flashprep-wine-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
. "$src/tests/lane_lib.sh"

cr=$(printf '\r')
board="$windows/simulated-board"
if [ ! -x "$reference_build/flashprep-sim" ]; then
  echo "not ok - no Linux build in $reference_build for the reference (cmake --build --preset default)"
  exit 1
fi

# on_windows NAME PROGRAM VAR=VALUE...: PROGRAM under Wine in the folder
# NAME.dir. A new folder gets a copy of ref.dir's driver file, if there is
# one; a folder made beforehand is used as it is. Leaves NAME.raw (the output
# as written), NAME.out (the same lines ended by LF only), NAME.err and
# NAME.state, and sets `status` and `ms` (wall time).
on_windows() {
  win=$1
  program=$2
  shift 2
  if [ ! -d "$scratch/$win.dir" ]; then
    mkdir "$scratch/$win.dir"
    [ ! -f "$scratch/ref.dir/serial_flash.S19" ] ||
      cp "$scratch/ref.dir/serial_flash.S19" "$scratch/$win.dir/"
  fi
  status=0
  started=$(date +%s%N)
  (cd "$scratch/$win.dir" &&
    env "$@" FLASHPREP_SIM_STATE="$scratch/$win.state" "$src/tools/wine-run" "$program") \
    >"$scratch/$win.raw" 2>"$scratch/$win.err" || status=$?
  ms=$((($(date +%s%N) - started) / 1000000))
  sed "s/$cr\$//" "$scratch/$win.raw" >"$scratch/$win.out"
}

# Every line written ends in CR LF, as text-mode standard output writes it on
# Windows; and there is at least one line.
crlf_lines() {  # FILE
  [ -s "$1" ] && ! grep -qv "$cr\$" "$1"
}

# same_run NAME VAR=VALUE...: the scenario on both systems, with the checks
# every run must pass; NAME.out and NAME.state are the Windows run's.
same_run() {
  run=$1
  shift
  reference ref "$@"
  on_windows "$run" "$board/flashprep.exe" "$@"
  check "exit status 0" [ "$status" -eq 0 ]
  check "every line ends in CR LF" crlf_lines "$scratch/$run.raw"
  check "output as on Linux, but for the line ends" same_text "$scratch/ref.out" "$scratch/$run.out"
  check "board state as on Linux" same_state ref "$run.state"
  check "nothing on standard error" [ ! -s "$scratch/$run.err" ]
}

# interrupted NAME COMMAND...: COMMAND (with the scenario's variables in the
# environment, block 5 held by the file $hold) in NAME.dir, sent SIGINT once
# the board holds block 5's reply, which it gives once the file is removed
# after that. Leaves NAME.raw, NAME.out, NAME.state and `status`. A job in
# the background of a script starts with SIGINT ignored, and flashprep keeps
# an ignored signal ignored: env gives the job its default action back.
interrupted() {
  name=$1
  shift
  mkdir "$scratch/$name.dir"
  "$reference_build/flashprep-make-driver" "$scratch/$name.dir/serial_flash.S19"
  (cd "$scratch/$name.dir" &&
    exec env --default-signal=INT FLASHPREP_SIM_STATE="$scratch/$name.state" \
      FLASHPREP_SIM_HOLD_FILE="$hold" FLASHPREP_SIM_HOLD_BLOCKS=5 "$@") \
    >"$scratch/$name.raw" 2>"$scratch/$name.err" &
  pid=$!
  tries=0
  while [ ! -e "$hold" ] && [ $tries -lt 600 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
  kill -INT "$pid"
  rm -f "$hold"
  status=0
  wait "$pid" || status=$?
  sed "s/$cr\$//" "$scratch/$name.raw" >"$scratch/$name.out"
}

# The bulk transfers of a usbmon pcap, one per line: what tshark decodes of
# each record but its time and id.
transfers_of() {  # PCAP OUT
  tshark -r "$1" -T fields -E separator=, -e usb.urb_type -e usb.endpoint_address \
    -e usb.urb_status -e usb.urb_len -e usb.data_len -e usb.capdata >"$2"
}

# The names a PE file's import table lists: DLLs, or with a DLL name the
# functions it takes from that DLL.
dlls_of() {  # FILE
  x86_64-w64-mingw32-objdump -p "$1" | awk '$1 == "DLL" && $2 == "Name:" { print $3 }' | sort
}
imports_from() {  # FILE DLL
  x86_64-w64-mingw32-objdump -p "$1" | awk -v dll="$2" '
    $1 == "DLL" && $2 == "Name:" { inside = ($3 == dll); next }
    inside && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print $3 }
    inside && NF == 0 { inside = 0 }' | sort
}
exports_of() {  # FILE
  x86_64-w64-mingw32-objdump -p "$1" | awk '
    /\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table && NF == 0 { table = 0 }
    table { print $NF }' | sort
}

case $case_name in
  full_run)
    # A healthy board through the whole run, with the pcap trace and the
    # flash file on (relative paths: each run writes them in its own folder).
    same_run win FLASHPREP_SIM_TRACE=trace.pcap FLASHPREP_SIM_FLASH=board.flash
    check "flash file as on Linux" cmp "$scratch/ref.dir/board.flash" "$scratch/win.dir/board.flash"
    formatted=$(count_lines "$scratch/win.out" ' FORMATTED$')
    check "every block formatted ($formatted)" [ "$formatted" -eq 4064 ]
    check "the last line" has_line "$scratch/win.out" "BLOCK 4095 FORMATTED"
    if command -v tshark >/dev/null 2>&1; then
      transfers_of "$scratch/ref.dir/trace.pcap" "$scratch/ref.transfers"
      transfers_of "$scratch/win.dir/trace.pcap" "$scratch/win.transfers"
      records=$(wc -l <"$scratch/win.transfers")
      check "trace of every transfer ($records records)" [ "$records" -eq 32656 ]
      check "trace as on Linux, but for the times" \
        same_text "$scratch/ref.transfers" "$scratch/win.transfers"
    else
      echo "ok - trace not compared: tshark is not installed # SKIP"
    fi
    # The report reader of simulated-board/ reads the state back as on Linux.
    "$reference_build/flashprep-sim-report" "$scratch/ref.state" >"$scratch/ref.report"
    "$src/tools/wine-run" "$board/flashprep-sim-report.exe" "$scratch/win.state" |
      sed "s/$cr\$//" >"$scratch/win.report"
    check "board report as on Linux" same_text "$scratch/ref.report" "$scratch/win.report"
    check "board report: tables match" grep -q "tables MATCH" "$scratch/win.report"
    ;;
  station_three_boards)
    # flashprep-station.exe beside the simulated libusb0.dll, on a folder of
    # three boards (one healthy, one with faults, one unplugged in the format
    # pass): each board's log and state are its run alone on Linux.
    mkdir "$scratch/station.dir" "$scratch/station.dir/boards"
    "$reference_build/flashprep-make-driver" "$scratch/station.dir/serial_flash.S19"
    printf '# healthy\r\n' >"$scratch/station.dir/boards/a"
    printf 'FLASHPREP_SIM_FAULT=short@42,error@45\nFLASHPREP_SIM_REFUSE_WRITES=2530\n' \
      >"$scratch/station.dir/boards/b"
    printf 'FLASHPREP_SIM_UNPLUG_AFTER=4000\n' >"$scratch/station.dir/boards/c"
    on_windows station "$board/flashprep-station.exe" FLASHPREP_SIM_BOARDS=boards \
      FLASHPREP_LOCK_DIR=claims
    check "exit status 1: not every board READY" [ "$status" -eq 1 ]
    for bn in a b c; do  # not `name`: reference() sets it
      # shellcheck disable=SC2046 # one setting a line, none with spaces
      reference "alone-$bn" $(sed "s/$cr\$//" "$scratch/station.dir/boards/$bn" | grep -v '^#')
      log=$(ls "$scratch/station.dir/station-logs/sim-$bn".????????T??????Z*.log | tail -n 1)
      check "board $bn: every line of its log ends in CR LF" crlf_lines "$log"
      sed "s/$cr\$//" "$log" >"$scratch/$bn.log"
      check "board $bn: log as its run alone on Linux" \
        same_text "$scratch/alone-$bn.out" "$scratch/$bn.log"
      check "board $bn: state as its run alone on Linux" \
        same_state "alone-$bn" "station.dir/boards/$bn.state"
    done
    ;;
  station_watch)
    # flashprep-station.exe --watch on a folder of boards: a board plugged in
    # (its file created) is prepared once, left plugged it is not prepared
    # again, pulled out and plugged in again it is, each run with a log and
    # a record of its own; Ctrl-C ends it as Windows ends a program on it.
    reference alone
    dir=$scratch/watch.dir
    mkdir "$dir" "$dir/boards"
    "$reference_build/flashprep-make-driver" "$dir/serial_flash.S19"
    # There before the first look: the background shell may open it later.
    : >"$scratch/watch.raw"
    (cd "$dir" && exec env --default-signal=INT FLASHPREP_SIM_BOARDS=boards \
      "$src/tools/wine-run" "$board/flashprep-station.exe" --watch --results results.jsonl) \
      >"$scratch/watch.raw" 2>"$scratch/watch.err" &
    pid=$!
    # seen TEXT N: waits (at most 60 s) until the output has N lines with TEXT.
    seen() {
      tries=0
      while [ "$(grep -c "$1" "$scratch/watch.raw")" -lt "$2" ] && [ $tries -lt 600 ]; do
        sleep 0.1
        tries=$((tries + 1))
      done
      [ "$(grep -c "$1" "$scratch/watch.raw")" -ge "$2" ]
    }
    : >"$dir/boards/a"
    check "a board plugged in is prepared" seen "^FINISHED sim-a .* READY" 1
    sleep 3
    rm "$dir/boards/a"
    check "a board pulled out is seen so" seen "^UNPLUGGED sim-a" 1
    : >"$dir/boards/a"
    check "plugged in again, it is prepared again" seen "^FINISHED sim-a .* READY" 2
    kill -INT "$pid"
    status=0
    wait "$pid" || status=$?
    sed "s/$cr\$//" "$scratch/watch.raw" >"$scratch/watch.out"
    check "ended as by Ctrl-C (status $status)" [ "$status" -eq 58 ]
    check "prepared once per plug-in, not again while left plugged" \
      [ "$(grep -c '^FOUND sim-a$' "$scratch/watch.out")" -eq 2 ]
    check "a log per run" [ "$(ls "$dir/station-logs" | wc -l)" -eq 2 ]
    for log in "$dir"/station-logs/sim-a.*.log; do
      sed "s/$cr\$//" "$log" >"$scratch/run.log"
      check "$(basename "$log"): as the board's run alone on Linux" \
        same_text "$scratch/alone.out" "$scratch/run.log"
    done
    check "a READY record per run" \
      [ "$(grep -c '^{"board":"sim-a",.*"verdict":"READY","reasons":\[\],"log":"station-logs\\\\sim-a\.[0-9]*T[0-9]*Z\.log",' \
        "$dir/results.jsonl")" -eq 2 ]
    ;;
  no_board)
    same_run win FLASHPREP_SIM_BOARD=none
    check "no board reported" has_line "$scratch/win.out" "FAIL: UNABLE TO START DRIVER"
    ;;
  silent_bootloader)
    # Time-outs take their real 5000 ms: one is waited out, and only one.
    same_run win FLASHPREP_SIM_BOOTLOADER=silent FLASHPREP_SIM_REAL_TIMEOUTS=1
    check "missing bootloader reported" has_line "$scratch/win.out" "FAIL: BOOTLOADER NOT PRESENT"
    check "one 5000 ms time-out waited ($ms ms)" between "$ms" 5000 9999
    ;;
  missing_driver)
    mkdir "$scratch/ref.dir" "$scratch/win.dir"
    same_run win
    check "missing driver reported" has_line "$scratch/win.out" "FAIL: SERIAL DRIVER NOT LOADED"
    ;;
  corrupt_driver)
    # A good file with one data character changed in its fifth record.
    mkdir "$scratch/ref.dir"
    "$reference_build/flashprep-make-driver" "$scratch/good.S19"
    awk 'NR == 5 { $0 = substr($0, 1, 20) (substr($0, 21, 1) == "0" ? "1" : "0") substr($0, 22) }
         { print }' "$scratch/good.S19" >"$scratch/ref.dir/serial_flash.S19"
    check "the file differs from the good one" \
      [ "$(cmp -l "$scratch/good.S19" "$scratch/ref.dir/serial_flash.S19" | wc -l)" -eq 1 ]
    same_run win
    check "bad driver reported" has_line "$scratch/win.out" "FAIL: SERIAL DRIVER NOT LOADED"
    ;;
  refused_driver_block)
    same_run win FLASHPREP_SIM_REFUSE_DRIVER_BLOCKS=3
    check "refused block reported" has_line "$scratch/win.out" "BLOCK 3 FAILED"
    check "the next block downloaded" has_line "$scratch/win.out" "BLOCK 4 DOWNLOADED"
    check "the format pass ran" has_line "$scratch/win.out" "BLOCK 4095 FORMATTED"
    ;;
  unplug)
    # Transfer 4000 falls in the format pass, near block 990.
    same_run win FLASHPREP_SIM_UNPLUG_AFTER=4000
    formatted=$(count_lines "$scratch/win.out" ' FORMATTED$')
    check "unplugged in the middle ($formatted formatted)" between "$formatted" 900 1100
    check "the last block failed" has_line "$scratch/win.out" "FAIL: FORMATTING BLOCK 4095"
    ;;
  interrupted)
    # Ctrl-C while block 5's format reply is held: Wine hands a SIGINT to
    # a console program as the console's CTRL_C_EVENT. As on Linux, the
    # exchange completes and its line is written, nothing more is sent, the
    # device is closed, and the program ends as Windows ends one on Ctrl-C
    # (STATUS_CONTROL_C_EXIT, 0xC000013A; Wine passes on its low byte, 58).
    # The hold makes sure the signal finds the program waiting for block 5's
    # reply. Wine runs the program's handler on a thread it starts for the
    # event, which nothing outside the program sees: the reply's 3 s format
    # time, which starts when the hold goes, is that thread's time to run
    # (on Linux the signal is taken before the program runs on).
    hold="$scratch/hold"
    export FLASHPREP_SIM_FORMAT_DELAY_MS=3000 FLASHPREP_SIM_FORMAT_DELAY_BLOCKS=5
    interrupted ref "$reference_build/flashprep-sim" "$reference_build/flashprep"
    check "on Linux: ended by SIGINT (status $status)" [ "$status" -eq 130 ]
    interrupted win "$src/tools/wine-run" "$board/flashprep.exe"
    check "on Windows: ended as by Ctrl-C (status $status)" [ "$status" -eq 58 ]
    check "the reply in flight was read and reported" has_line "$scratch/win.out" \
      "BLOCK 5 FORMATTED"
    check "every line ends in CR LF" crlf_lines "$scratch/win.raw"
    check "output as on Linux, but for the line ends" same_text "$scratch/ref.out" "$scratch/win.out"
    check "board state as on Linux" same_state ref win.state
    check "nothing sent after block 5's reply" [ "$(tail -n 1 "$scratch/win.state/events.txt")" = "format 5" ]
    ;;
  settings)
    # Without a launcher, FLASHPREP_SIM_HELP=1 is how Windows users list the
    # variables (with no board, the run stops at once); a bad value stops
    # the program before it starts, naming the variable.
    same_run win FLASHPREP_SIM_HELP=1 FLASHPREP_SIM_BOARD=none
    for var in BOARD REFUSE BOOTLOADER REFUSE_DRIVER_BLOCKS FORMAT_REQUEST_FAILS UNPLUG_AFTER \
      FAULT FLASH STATE TRACE; do
      check "FLASHPREP_SIM_$var listed" grep -q "FLASHPREP_SIM_$var=" "$scratch/win.out"
    done
    check "then no board" has_line "$scratch/win.out" "FAIL: UNABLE TO START DRIVER"
    on_windows bad "$board/flashprep.exe" FLASHPREP_SIM_FAULT=melt@3
    check "a bad value: exit status 2" [ "$status" -eq 2 ]
    check "a bad value: no output" [ ! -s "$scratch/bad.raw" ]
    check "a bad value: the variable named" grep -q FLASHPREP_SIM_FAULT "$scratch/bad.err"
    check "a bad value: help as Windows has it" grep -q "set FLASHPREP_SIM_HELP=1" "$scratch/bad.err"
    check "a bad value: no launcher named" \
      sh -c '! grep -q "flashprep-sim --help" "$1"' sh "$scratch/bad.err"
    on_windows bad "$board/flashprep.exe" FLASHPREP_SIM_BORD=none
    check "an unknown name: exit status 2" [ "$status" -eq 2 ]
    check "an unknown name: the closest named" grep -q "did you mean FLASHPREP_SIM_BOARD" "$scratch/bad.err"
    ;;
  line_ends)
    # The driver file with LF line ends and with CR LF, on both systems; and
    # with CR LF and the end mark of old DOS editors (Ctrl-Z), which Windows
    # takes for the end of a text file and Linux for a line that is no record.
    mkdir -p "$scratch/ref.dir" "$scratch/crlf.dir" "$scratch/wincrlf.dir" "$scratch/dos.dir"
    "$reference_build/flashprep-make-driver" "$scratch/ref.dir/serial_flash.S19"
    sed "s/\$/$cr/" "$scratch/ref.dir/serial_flash.S19" >"$scratch/crlf.dir/serial_flash.S19"
    cp "$scratch/crlf.dir/serial_flash.S19" "$scratch/wincrlf.dir/"
    cp "$scratch/crlf.dir/serial_flash.S19" "$scratch/dos.dir/"
    printf '\032' >>"$scratch/dos.dir/serial_flash.S19"
    cp -r "$scratch/dos.dir" "$scratch/windos.dir"
    records=$(wc -l <"$scratch/ref.dir/serial_flash.S19")
    check "the LF file has no CR" [ "$(grep -c "$cr" "$scratch/ref.dir/serial_flash.S19")" -eq 0 ]
    check "the CR LF file has one per line" \
      [ "$(grep -c "$cr\$" "$scratch/crlf.dir/serial_flash.S19")" -eq "$records" ]
    reference ref
    reference crlf
    reference dos
    on_windows winlf "$board/flashprep.exe"
    on_windows wincrlf "$board/flashprep.exe"
    on_windows windos "$board/flashprep.exe"
    check "the run printed the download" has_line "$scratch/ref.out" "BLOCKS : 16"
    check "Linux: CR LF as LF" same_text "$scratch/ref.out" "$scratch/crlf.out"
    check "Linux: with Ctrl-Z at the end as LF" same_text "$scratch/ref.out" "$scratch/dos.out"
    check "Windows: LF as on Linux" same_text "$scratch/ref.out" "$scratch/winlf.out"
    check "Windows: CR LF as on Linux" same_text "$scratch/ref.out" "$scratch/wincrlf.out"
    check "Windows: with Ctrl-Z at the end as on Linux" \
      same_text "$scratch/ref.out" "$scratch/windos.out"
    for state in crlf.state dos.state winlf.state wincrlf.state windos.state; do
      check "driver RAM of $state as on Linux with LF" \
        cmp "$scratch/ref.state/ram.bin" "$scratch/$state/ram.bin"
    done
    ;;
  real_libusb)
    # libusb-win32's own DLL, which under Wine finds no board: no kernel
    # driver serves it.
    exports_of "$windows/libusb0.dll" >"$scratch/real.exports"
    check "the real libusb0.dll beside flashprep.exe" \
      grep -qx usb_install_driver_np "$scratch/real.exports"
    mkdir "$scratch/win.dir"
    "$reference_build/flashprep-make-driver" "$scratch/win.dir/serial_flash.S19"
    on_windows win "$windows/flashprep.exe"
    check "exit status 0" [ "$status" -eq 0 ]
    check "the one line, ended by CR LF" \
      [ "$(od -An -c "$scratch/win.raw" | tr -s ' \n' ' ')" = \
        " F A I L : U N A B L E T O S T A R T D R I V E R \\r \\n " ]
    check "nothing on standard error (no crash)" [ ! -s "$scratch/win.err" ]
    ;;
  dlls)
    # libusb0.dll is the only DLL from outside Windows that the programs need,
    # and the simulated one exports every call flashprep.exe takes from it.
    if ! command -v x86_64-w64-mingw32-objdump >/dev/null 2>&1; then
      echo "not ok - x86_64-w64-mingw32-objdump is missing (tools/install-deps g++-mingw-w64-x86-64)"
      exit 1
    fi
    for f in "$windows/flashprep.exe" "$board/flashprep.exe"; do
      check "$f needs KERNEL32, msvcrt and libusb0" \
        [ "$(dlls_of "$f" | tr '\n' ' ')" = "KERNEL32.dll libusb0.dll msvcrt.dll " ]
    done
    for f in "$windows/flashprep-make-driver.exe" "$board/flashprep-sim-report.exe" \
      "$board/libusb0.dll"; do
      check "$f needs KERNEL32 and msvcrt" \
        [ "$(dlls_of "$f" | tr '\n' ' ')" = "KERNEL32.dll msvcrt.dll " ]
    done
    imports_from "$board/flashprep.exe" libusb0.dll >"$scratch/imports"
    exports_of "$board/libusb0.dll" >"$scratch/sim.exports"
    exports_of "$windows/libusb0.dll" >"$scratch/real.exports"
    check "flashprep.exe takes the 12 calls from libusb0.dll" [ "$(wc -l <"$scratch/imports")" -eq 12 ]
    check "the simulated DLL exports them all" \
      [ -z "$(comm -23 "$scratch/imports" "$scratch/sim.exports")" ]
    check "the real DLL exports them all" \
      [ -z "$(comm -23 "$scratch/imports" "$scratch/real.exports")" ]
    check "simulated-board/flashprep.exe is the shipped one" \
      cmp -s "$windows/flashprep.exe" "$board/flashprep.exe"
    ;;
  zip)
    # The zip unpacked into an empty folder: the sample driver made with its
    # flashprep-make-driver.exe, the full job run with its simulated board.
    zip=$(ls "$windows"/flashprep-*-win64.zip 2>/dev/null | tail -n 1)
    if [ -z "$zip" ]; then
      echo "not ok - no zip in $windows (tools/package-windows)"
      exit 1
    fi
    mkdir "$scratch/unpacked"
    (cd "$scratch/unpacked" && unzip -q "$zip")
    top=$(ls "$scratch/unpacked")
    check "one folder at the top ($top)" [ "$(ls "$scratch/unpacked" | wc -l)" -eq 1 ]
    (cd "$scratch/unpacked/$top" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) \
      >"$scratch/contents"
    LC_ALL=C sort >"$scratch/expected" <<EOF
README.txt
flashprep-make-driver.exe
flashprep-station.exe
flashprep-summary.exe
flashprep.exe
simulated-board/README.txt
simulated-board/flashprep-sim-report.exe
simulated-board/flashprep-station.exe
simulated-board/flashprep.exe
simulated-board/libusb0.dll
EOF
    check "the zip holds what it should" same_text "$scratch/expected" "$scratch/contents"
    unpacked="$scratch/unpacked/$top"
    check "the README has CR LF line ends" crlf_lines "$unpacked/README.txt"
    check "the READMEs name the folder the zip unpacks to" \
      grep -q "C:.Tools.$top.simulated-board.flashprep.exe" "$unpacked/simulated-board/README.txt"
    mkdir -p "$scratch/ref.dir" "$scratch/win.dir"
    "$reference_build/flashprep-make-driver" "$scratch/ref.dir/serial_flash.S19"
    (cd "$scratch/win.dir" && "$src/tools/wine-run" "$unpacked/flashprep-make-driver.exe" serial_flash.S19)
    check "flashprep-make-driver.exe writes the same file" \
      cmp "$scratch/ref.dir/serial_flash.S19" "$scratch/win.dir/serial_flash.S19"
    board="$unpacked/simulated-board"
    same_run win
    check "every block formatted" [ "$(count_lines "$scratch/win.out" ' FORMATTED$')" -eq 4064 ]
    check "simulated-board/flashprep.exe is the shipped one" \
      cmp -s "$unpacked/flashprep.exe" "$board/flashprep.exe"
    # The summary of the run's own file, CR LF line ends and all.
    summary_status=0
    "$src/tools/wine-run" "$unpacked/flashprep-summary.exe" "$scratch/win.raw" \
      >"$scratch/summary.raw" || summary_status=$?
    check "flashprep-summary.exe judges the run READY (exit $summary_status)" \
      [ "$summary_status" -eq 0 ]
    check "its first line says so" [ "$(head -n 1 "$scratch/summary.raw")" = "READY$cr" ]
    ;;
  shift_report)
    # flashprep-summary.exe --results over a made-up shift of four stations
    # (the last file ending in a cut record): the report as on Linux but for
    # the line ends, the page byte for byte; and --svg and --html that will
    # not write over what they read, by another path either.
    shift=$scratch/shift
    mkdir "$shift"
    "$reference_build/tests/e2e/flashprep_make_shift" --cut --old 10 "$shift" >/dev/null
    files="flashprep-1.0.jsonl station-1.jsonl station-2.jsonl station-3.jsonl station-4.jsonl"
    # shellcheck disable=SC2086 # the file names, none with spaces
    status=0
    # The same fixed zone on both: Windows's C runtime knows no zone database.
    (cd "$shift" && "$reference_build/flashprep-summary" --results $files --tz CET-1 \
      --html linux.html --csv linux.csv) >"$scratch/linux.txt" || status=$?
    check "Linux: exit status 1, a damaged line skipped (was $status)" [ "$status" -eq 1 ]
    status=0
    # shellcheck disable=SC2086
    (cd "$shift" && "$src/tools/wine-run" "$windows/flashprep-summary.exe" --results $files \
      --tz CET-1 --html windows.html --csv windows.csv) >"$scratch/windows.raw" \
      2>"$scratch/windows.err" || status=$?
    check "exit status 1, a damaged line skipped (was $status)" [ "$status" -eq 1 ]
    check "every line ends in CR LF" crlf_lines "$scratch/windows.raw"
    sed "s/$cr\$//" "$scratch/windows.raw" >"$scratch/windows.txt"
    check "the report as on Linux" same_text "$scratch/linux.txt" "$scratch/windows.txt"
    check "it names the cut line" grep -q "^SKIPPED: 1 DAMAGED LINE: station-4.jsonl LINE [0-9]* (CUT)\$" \
      "$scratch/windows.txt"
    check "the page as on Linux" cmp "$shift/linux.html" "$shift/windows.html"
    check "the CSV as on Linux" cmp "$shift/linux.csv" "$shift/windows.csv"
    check "times in CET-1, an hour ahead of UTC" grep -q "^SHIFT REPORT: .*+01:00 (.*TIMES IN CET-1\$" \
      "$scratch/windows.txt"
    status=0
    (cd "$shift" && "$src/tools/wine-run" "$windows/flashprep-summary.exe" --results \
      station-1.jsonl --tz Europe/Berlin) >/dev/null 2>"$scratch/zone.err" || status=$?
    check "a zone of the database is refused on Windows (exit $status)" [ "$status" -eq 2 ]
    check "... saying what works there" grep -q "on Windows a fixed offset" "$scratch/zone.err"
    status=0
    (cd "$shift" && "$src/tools/wine-run" "$windows/flashprep-summary.exe" --results \
      station-1.jsonl --tz EST5 --since 2026-12-08T03:00 --until 2026-12-08T04:00:00.5-05:00) \
      >"$scratch/est.raw" 2>&1 || status=$?
    sed "s/$cr\$//" "$scratch/est.raw" >"$scratch/est.txt"
    (cd "$shift" && "$reference_build/flashprep-summary" --results station-1.jsonl --tz EST5 \
      --since 2026-12-08T03:00 --until 2026-12-08T04:00:00.5-05:00) >"$scratch/est.linux" || true
    check "local times read and shown in EST5 as on Linux (exit $status)" \
      same_text "$scratch/est.linux" "$scratch/est.txt"
    cp "$shift/station-1.jsonl" "$scratch/kept.jsonl"
    mkdir "$shift/sub"
    status=0
    (cd "$shift" && "$src/tools/wine-run" "$windows/flashprep-summary.exe" --results \
      station-1.jsonl --html 'sub\..\station-1.jsonl') >/dev/null 2>"$scratch/guard.err" ||
      status=$?
    check "--html over a results file it reads: exit status 2 (was $status)" [ "$status" -eq 2 ]
    check "... saying why" grep -q "(the same file), which this run reads" "$scratch/guard.err"
    check "... and the file is left as it was" cmp "$scratch/kept.jsonl" "$shift/station-1.jsonl"
    status=0
    (cd "$shift" && "$src/tools/wine-run" "$windows/flashprep-summary.exe" --svg \
      station-1.jsonl <station-1.jsonl) >/dev/null 2>"$scratch/guard.err" || status=$?
    check "--svg over a file that is no map: exit status 2 (was $status)" [ "$status" -eq 2 ]
    check "... and the file is left as it was" cmp "$scratch/kept.jsonl" "$shift/station-1.jsonl"
    ;;
  *)
    echo "lane_test.sh: unknown case $case_name" >&2
    exit 2
    ;;
esac
exit "$failed"
