# Sourced by gdb when the inferior is stopped (tools/bench stops flashprep at
# its exit_group call): prints the resident set of the process by mapped
# object, largest first, so a peak-memory figure can be read as "C++ runtime,
# C library, heap, ..." instead of one number.
import collections

import gdb

pid = gdb.selected_inferior().pid
rss = collections.defaultdict(int)
name = None
with open('/proc/%d/smaps' % pid) as smaps:
    for line in smaps:
        fields = line.split()
        if fields and not fields[0].endswith(':'):
            # A mapping header: address range, perms, offset, dev, inode[, path].
            name = fields[5].rsplit('/', 1)[-1] if len(fields) > 5 else '[anonymous]'
        elif fields and fields[0] == 'Rss:':
            rss[name] += int(fields[1])
for mapping, kib in sorted(rss.items(), key=lambda item: -item[1]):
    if kib:
        print('%6d KiB  %s' % (kib, mapping))
print('%6d KiB  total' % sum(rss.values()))
