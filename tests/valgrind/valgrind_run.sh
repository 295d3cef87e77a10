#!/bin/sh
# valgrind_run.sh LAUNCHER FLASHPREP MAKE_DRIVER DIR
# Runs FLASHPREP under memcheck with the simulated board, in DIR (emptied
# first) holding a generated driver. Passes when memcheck reports nothing,
# the run exits 0 and its last line is the last block formatted.
set -u
launcher=$1 flashprep=$2 make_driver=$3 dir=$4
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind not installed"
  exit 77
fi
rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 1
"$make_driver" serial_flash.S19 || exit 1

status=0
"$launcher" valgrind --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect "$flashprep" >out.txt 2>memcheck.txt || status=$?
last=$(tail -n 1 out.txt)
summary=$(grep "ERROR SUMMARY" memcheck.txt)
echo "exit status $status, last line '$last'"
echo "$summary"
if [ "$status" -ne 0 ] || [ "$last" != "BLOCK 4095 FORMATTED" ]; then
  cat memcheck.txt
  exit 1
fi
# Memcheck ran and saw the program: its summary names no error.
case "$summary" in
  *"ERROR SUMMARY: 0 errors"*) ;;
  *) cat memcheck.txt; exit 1 ;;
esac
