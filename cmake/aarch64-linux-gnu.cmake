# Cross build for 64-bit ARM Linux (arm64: a station on a Raspberry Pi class
# board) with Debian's cross compiler (apt: g++-aarch64-linux-gnu) against the
# arm64 packages of this machine's multiarch (dpkg --add-architecture arm64;
# libusb-dev:arm64 and the like), used by the `arm64` preset.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_triplet aarch64-linux-gnu)
find_program(CMAKE_C_COMPILER NAMES ${_triplet}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_triplet}-g++ REQUIRED)
# Libraries and CMake package files of the target live in the multiarch
# folders (/usr/lib/aarch64-linux-gnu); the headers in /usr/include and
# /usr/include/aarch64-linux-gnu, which the cross compiler searches itself.
# The host's own folders (/usr/lib/x86_64-linux-gnu) are never searched.
set(CMAKE_LIBRARY_ARCHITECTURE ${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Installed libraries go where Debian's arm64 packages put theirs
# (/usr/lib/aarch64-linux-gnu): GNUInstallDirs picks the multiarch folder
# for native builds only.
set(CMAKE_INSTALL_LIBDIR lib/${_triplet} CACHE PATH "Object code libraries (lib/<multiarch>)")

# pkg-config answers for the target, from the arm64 packages' .pc files and
# the architecture-independent ones (header-only libraries), never from the
# host's. libusb-dev:arm64 cannot be installed beside the host's libusb-dev:
# tools/install-deps-arm64 unpacks it into build/arm64-deps, which comes
# first when it is there. The variables are the environment of this
# configure run only; each later configure reads this file again.
get_filename_component(_deps "${CMAKE_CURRENT_LIST_DIR}/../build/arm64-deps" ABSOLUTE)
set(_pc_dirs /usr/lib/${_triplet}/pkgconfig /usr/share/pkgconfig)
if(EXISTS ${_deps}/libusb-dev/usr/lib/${_triplet}/pkgconfig/libusb.pc)
  list(PREPEND _pc_dirs ${_deps}/libusb-dev/usr/lib/${_triplet}/pkgconfig)
endif()
string(REPLACE ";" ":" _pc_dirs "${_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${_pc_dirs}")
unset(ENV{PKG_CONFIG_PATH})
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# The programs of the build (the tests) run under QEMU's user-mode emulation
# (apt: qemu-user-static). The programs they start themselves (the simulated
# board's launcher starting flashprep, the station starting a process per
# board) need the kernel to hand arm64 programs to QEMU too: binfmt_misc
# (tools/test-arm64 enables it).
find_program(FLASHPREP_QEMU_USER NAMES qemu-aarch64-static qemu-aarch64)
if(FLASHPREP_QEMU_USER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASHPREP_QEMU_USER})
endif()
