#!/bin/sh
# build_against_compat.sh SOURCE_DIR BUILD_DIR COMPAT_DIR
# Builds flashprep where pkg-config's `libusb` is libusb-compat
# (COMPAT_DIR/pkgconfig/libusb.pc, as on Fedora) and checks that the build is
# clean and that the binary takes its libusb 0.1 calls from COMPAT_DIR.
set -u
src=$1
build=$2
compat=$3
# check() and `failed`, as in the lane tests.
. "$src/tests/lane_lib.sh"

rm -rf "$build"
if ! PKG_CONFIG_PATH=$compat/pkgconfig cmake -S "$src" -B "$build" -DFLASHPREP_TESTS=OFF \
  >"$build.log" 2>&1 || ! cmake --build "$build" --target flashprep >>"$build.log" 2>&1; then
  cat "$build.log"
  echo "not ok - flashprep builds against libusb-compat"
  exit 1
fi
echo "ok - flashprep builds against libusb-compat"
version=$(sed -n 's/^LIBUSB_VERSION:INTERNAL=//p' "$build/CMakeCache.txt")
expected=$(PKG_CONFIG_PATH=$compat/pkgconfig pkg-config --modversion libusb)
check "pkg-config libusb was libusb-compat $expected (got $version)" [ "$version" = "$expected" ]
check "compiled without a warning" sh -c "! grep -i 'warning:' '$build.log'"
libraries=$(ldd "$build/flashprep")
echo "$libraries" | grep libusb
check "libusb-0.1.so.4 resolves to libusb-compat's" \
  sh -c "echo '$libraries' | grep -q 'libusb-0.1.so.4 => $compat/libusb-0.1.so.4 '"
check "which loads libusb-1.0" sh -c "echo '$libraries' | grep -q 'libusb-1.0.so.0 => '"
exit "$failed"
