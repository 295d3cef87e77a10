# The real-USB lane with an arm64 guest (label qemu-arm64), in the arm64 cross
# build: this build's flashprep and flashprep-station run in QEMU's arm64 virt
# machine on Debian's arm64 kernel, against boards served on this machine by
# the host build's flashprep-sim-usbredir, and each run is compared with the
# same board's run on that build's preloaded board (lane_test.py). One guest
# boot; an emulated arm64 CPU is slow, so the cases are the ones that tell
# whether a station on an arm64 board works: one whole run, and the station
# with two boards behind a hub.
set(FLASHPREP_HOST_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/ci CACHE PATH
    "This machine's build with -DFLASHPREP_QEMU_LANE=ON: the boards and the reference runs")

add_test(NAME qemu_lane.arm64.legacy.xhci
         COMMAND ${FLASHPREP_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/lane_test.py
                 --build ${FLASHPREP_HOST_BUILD_DIR} --guest-build ${PROJECT_BINARY_DIR}
                 xhci:full_run xhci_hub:station_two_boards)
set_tests_properties(qemu_lane.arm64.legacy.xhci PROPERTIES LABELS qemu-arm64 TIMEOUT 600)
