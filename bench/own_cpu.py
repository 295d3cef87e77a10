#!/usr/bin/env python3
"""own_cpu.py COMMAND [ARG...]: runs COMMAND and prints "CPU_SECONDS EXIT_STATUS",
CPU_SECONDS being the user and system time of COMMAND's own process alone,
not of the children it starts and waits for (which time(1) and wait4 add in).
Read from /proc/PID/stat once the process has ended and before it is reaped,
while the kernel still keeps its own figures."""
import os
import subprocess
import sys
import time

proc = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
ticks = os.sysconf("SC_CLK_TCK")
own = None
while own is None:
    with open(f"/proc/{proc.pid}/stat", encoding="ascii") as stat:
        # The command's name may hold spaces: the fields start after its ')'.
        fields = stat.read().rsplit(")", 1)[1].split()
    if fields[0] == "Z":
        own = (int(fields[11]) + int(fields[12])) / ticks  # utime, stime
    else:
        time.sleep(0.02)
print(f"{own:.3f} {proc.wait()}")
