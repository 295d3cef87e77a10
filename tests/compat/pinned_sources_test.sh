#!/bin/sh
# pinned_sources_test.sh SOURCE_DIR WORK_DIR
# The fetch of a pinned source (cmake/pinned-sources.cmake), in a project that
# does nothing else: the pin checked out and where it came from, a checkout
# that is not the pin, a repository out of reach. Fetches as the build does:
# with git's redirect from the environment (a mirror, as in CI) or online.
set -u
src=$1
work=$2
# check() and `failed`, as in the lane tests.
. "$src/tests/lane_lib.sh"

rm -rf "$work"
mkdir -p "$work/project"
cat >"$work/project/CMakeLists.txt" <<END
cmake_minimum_required(VERSION 3.25)
project(pinned NONE)
include("$src/cmake/pinned-sources.cmake")
flashprep_fetch_pinned(libusb_compat)
END
build=$work/build
fetched=$build/_deps/libusb_compat-src
configure() {
  cmake -S "$work/project" -B "$build" "$@" >"$work/log" 2>&1
}
# CMake wraps its messages at spaces: the log as one line, spaces collapsed.
logged() { tr '\n' ' ' <"$work/log" | tr -s ' ' | grep -qF -- "$1"; }
url=https://github.com/libusb/libusb-compat-0.1.git
pin=$(sed -n 's/^set(flashprep_pin_libusb_compat_commit \([0-9a-f]\{40\}\))$/\1/p' \
  "$src/cmake/pinned-sources.cmake")
checked_out() { git -C "$fetched" rev-parse HEAD 2>/dev/null; }

check "the pin is a full commit id ($pin)" [ ${#pin} -eq 40 ]
configure && ok=1 || ok=0
check "the first configure fetches" [ "$ok" -eq 1 ]
check "the pin is checked out (got $(checked_out))" [ "$(checked_out)" = "$pin" ]
origin=$(git ls-remote --get-url "$url")
check "the output says where it came from ($origin)" logged "fetched from $origin into $fetched"

# Out of reach: a longer redirect than any other wins, to a folder with nothing.
unreachable() {
  n=${GIT_CONFIG_COUNT:-0}
  env "GIT_CONFIG_KEY_$n=url.$work/nothing/libusb/.insteadOf" \
    "GIT_CONFIG_VALUE_$n=https://github.com/libusb/" "GIT_CONFIG_COUNT=$((n + 1))" "$@"
}

git -C "$fetched" checkout -q HEAD~1
unreachable cmake -S "$work/project" -B "$build" >"$work/log" 2>&1 && ok=1 || ok=0
check "another commit checked out: the pin, which the clone holds, needs no network" \
  [ "$ok" -eq 1 ]
check "and is checked out again (got $(checked_out))" [ "$(checked_out)" = "$pin" ]
git -C "$fetched" checkout -q HEAD~1
configure -DFETCHCONTENT_UPDATES_DISCONNECTED=ON && ok=1 || ok=0
check "another commit checked out stops the configure" [ "$ok" -eq 0 ]
check "naming the pin" logged "not the pinned $pin"
configure -UFETCHCONTENT_UPDATES_DISCONNECTED && ok=1 || ok=0
check "a configure that may update goes back to the pin" [ "$ok" -eq 1 ]
check "which is checked out again (got $(checked_out))" [ "$(checked_out)" = "$pin" ]

rm -rf "$build"
start=$(date +%s)
unreachable cmake -S "$work/project" -B "$build" >"$work/log" 2>&1 && ok=1 || ok=0
check "an unreachable repository stops the configure" [ "$ok" -eq 0 ]
check "within a minute" [ $(($(date +%s) - start)) -lt 60 ]
check "naming what it fetched" logged "cannot fetch $url at commit $pin"
check "and where git went" logged "redirects it to $work/nothing/libusb/libusb-compat-0.1.git"
check "how to point it at a mirror" logged "GIT_CONFIG_KEY_0=url.MIRROR/github.com/.insteadOf"
check "or at a copy" logged "FETCHCONTENT_SOURCE_DIR_LIBUSB_COMPAT=DIR"
check "with nothing fetched" [ ! -e "$fetched/.git" ]
[ "$failed" -eq 0 ] || cat "$work/log"
exit "$failed"
