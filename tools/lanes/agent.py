"""The channel to an agent in a guest (a virtio serial port that QEMU serves
on a unix socket): the agent says "@@ready BOOT_ID" at each boot and runs
the host's commands one after the other. The host sends "ID WORDS" on one
line, WORDS being an argument list in sh's quoting, so that the guest's
`sh -c` runs exactly those arguments; the agent answers "@@ID LINE" for each
line the command printed and then "@@end ID STATUS".
"""
import shlex
import threading
from collections import namedtuple

from harness import LaneError, Stream, close_socket, connect_unix

Reply = namedtuple("Reply", "status lines")


def agent_line(line):
    """("ready", BOOT_ID), ("end", ID, STATUS), ("out", ID, LINE), or
    ("other", LINE) for whatever else the port carries."""
    if line.startswith("@@ready "):
        return ("ready", line[len("@@ready "):].strip())
    if line.startswith("@@end "):
        ident, _, status = line[len("@@end "):].partition(" ")
        if status.strip().lstrip("-").isdigit():
            return ("end", ident, int(status))
    elif line.startswith("@@"):
        ident, _, text = line[2:].partition(" ")
        return ("out", ident, text)
    return ("other", line)


class Agent:
    """A connection to the agent's socket (made once the socket is there:
    LaneError after `timeout` seconds or once stop() is true). It lasts
    across the guest's reboots: the agent of each boot says ready again.
    `log`, a binary file, gets every byte the agent sends."""

    def __init__(self, path, timeout=60, stop=None, log=None):
        self._socket = connect_unix(path, timeout, stop, "agent")
        self._lines = Stream(self._socket.makefile("rb"), agent_line, log)
        self._sent = 0
        self._lock = threading.Lock()

    def boots(self):
        """The boot ids the agent has said ready with, in order."""
        return [item[1] for item in self._lines.items() if item[0] == "ready"]

    def wait_boot(self, count, timeout):
        """The boot id of the agent's `count`-th hello on this connection;
        None when it has not come within `timeout` seconds."""

        def ready(items):
            ids = [item[1] for item in items if item[0] == "ready"]
            return ids[count - 1] if len(ids) >= count else None

        return self._lines.wait(ready, timeout)

    def send(self, argv):
        """Sends a command without waiting for its answer (one that ends the
        agent, such as a reboot); its id."""
        for word in argv:
            # The agent reads one command a line.
            if "\n" in word or "\r" in word:
                raise LaneError(f"a command word holds a line break: {word!r}")
        with self._lock:
            self._sent += 1
            ident = f"c{self._sent}"
            try:
                self._socket.sendall(f"{ident} {shlex.join(argv)}\n".encode())
            except OSError as e:
                raise LaneError(f"the agent's channel went away ({e})") from e
        return ident

    def run(self, argv, timeout, waiting_for=None):
        """Runs `argv` in the guest: its Reply (exit status, output lines).
        LaneError when no answer comes within `timeout` seconds (saying what
        the command waited for, `waiting_for`), when the agent starts again
        before it answered (the command is lost with the boot it ran in), or
        when the channel closes."""
        start = len(self._lines.items())
        ident = self.send(argv)
        seen = start
        found = []

        def answered(items):
            nonlocal seen
            for item in items[seen:]:
                if item[0] == "end" and item[1] == ident or item[0] == "ready":
                    found.append(item)
                    return True
            seen = len(items)
            return False

        done = self._lines.wait(answered, timeout)
        command = shlex.join(argv)
        if done and found[0][0] == "ready":
            raise LaneError(f"the guest's agent started again (boot {found[0][1]}) before it "
                            f"answered: {command}")
        if not done:
            waited = f" (waiting for {waiting_for})" if waiting_for else ""
            if self._lines.ended():
                raise LaneError(f"the agent's channel closed before it answered{waited}: "
                                f"{command}")
            raise LaneError(f"no answer from the guest within {timeout:g} s{waited}: {command}")
        lines = [item[2] for item in self._lines.items(start)
                 if item[0] == "out" and item[1] == ident]
        return Reply(found[0][2], lines)

    def close(self):
        close_socket(self._socket)
