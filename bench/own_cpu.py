#!/usr/bin/env python3
"""own_cpu.py [--pty COLUMNSxROWS] COMMAND [ARG...]: runs COMMAND and prints
"OWN_CPU_SECONDS EXIT_STATUS ALL_CPU_SECONDS PEAK_RSS_KIB WALL_SECONDS".

OWN_CPU is the user and system time of COMMAND's own process alone, not of
the children it starts and waits for (which time(1) and wait4 add in): read
from /proc/PID/stat once the process has ended and before it is reaped,
while the kernel still keeps its own figures. ALL_CPU is the same with the
children it waited for (wait4's). PEAK_RSS is the process's own high-water
mark (VmHWM), read while it runs.

With --pty, COMMAND's standard output is a terminal of that size (a
pseudo-terminal whose output is read and thrown away), so that a program that
draws a live view on a terminal draws it; otherwise it goes to /dev/null."""
import fcntl
import os
import struct
import subprocess
import sys
import termios
import threading
import time

args = sys.argv[1:]
size = None
if args[:1] == ["--pty"]:
    columns, rows = (int(n) for n in args[1].split("x"))
    size = (rows, columns)
    args = args[2:]

drain = None
if size is None:
    out = subprocess.DEVNULL
else:
    master, out = os.openpty()
    fcntl.ioctl(out, termios.TIOCSWINSZ, struct.pack("HHHH", size[0], size[1], 0, 0))

    def read_all():
        try:
            while os.read(master, 65536):
                pass
        except OSError:  # the terminal's last writer has gone
            pass

    drain = threading.Thread(target=read_all, daemon=True)
    drain.start()
env = dict(os.environ)
if size is not None:
    env.setdefault("TERM", "xterm")
start = time.monotonic()
proc = subprocess.Popen(args, stdout=out, env=env)
if size is not None:
    os.close(out)
ticks = os.sysconf("SC_CLK_TCK")
own = None
peak = 0
while own is None:
    with open(f"/proc/{proc.pid}/stat", encoding="ascii") as stat:
        # The command's name may hold spaces: the fields start after its ')'.
        fields = stat.read().rsplit(")", 1)[1].split()
    if fields[0] == "Z":
        own = (int(fields[11]) + int(fields[12])) / ticks  # utime, stime
    else:
        try:
            with open(f"/proc/{proc.pid}/status", encoding="ascii") as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.02)
_, status, usage = os.wait4(proc.pid, 0)
wall = time.monotonic() - start
code = os.waitstatus_to_exitcode(status)
print(f"{own:.3f} {code} {usage.ru_utime + usage.ru_stime:.3f} {peak} {wall:.2f}")
