"""What the QEMU lanes share: a guest's QEMU with its monitor (QMP) and its
serial console, usbredir boards plugged into it and pulled out, waiting for
conditions, and the TAP lines a lane prints.

Commands are argument lists (no shell); every wait has a limit and returns as
soon as its condition holds. A lane that cannot run raises LaneError, which
run_lane turns into "Bail out!" and exit status 2.
"""
import difflib
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time


class LaneError(Exception):
    """The lane itself failed (no guest, no answer): nothing was checked."""


class QmpError(LaneError):
    """QEMU refused a monitor command."""


def wait_until(condition, timeout, interval=0.05, stop=None):
    """condition()'s first true value, looked at every `interval` seconds;
    None once `timeout` seconds have passed or stop() is true (what was
    waited for can no longer happen)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline or (stop is not None and stop()):
            return None
        time.sleep(interval)


class Stream:
    """The lines of a byte stream, read by a thread of its own and kept in
    order (through `parse`, which may drop a line by returning None), for
    whoever waits for them. `log`, a binary file, gets every byte read."""

    def __init__(self, stream, parse=lambda line: line, log=None):
        self._stream = stream
        self._parse = parse
        self._log = log
        self._items = []
        self._ended = False
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        try:
            for raw in iter(self._stream.readline, b""):
                if self._log:
                    self._log.write(raw)
                    self._log.flush()
                item = self._parse(raw.decode("utf-8", "replace").rstrip("\r\n"))
                if item is not None:
                    with self._changed:
                        self._items.append(item)
                        self._changed.notify_all()
        except (OSError, ValueError):
            pass  # the stream was closed under the reader: the end
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def items(self, start=0):
        with self._changed:
            return self._items[start:]

    def ended(self):
        with self._changed:
            return self._ended

    def wait(self, condition, timeout):
        """condition(items)'s first true value as lines come; None after
        `timeout` seconds, or at once when the stream has ended without it."""
        found = None

        def ready():
            nonlocal found
            found = condition(self._items)
            return found or self._ended

        with self._changed:
            self._changed.wait_for(ready, timeout)
        return found or None

    def join(self, timeout):
        self._thread.join(timeout)


def connect_unix(path, timeout, stop=None, what="listener"):
    """A stream socket connected to the unix socket `path` once something
    listens there (QEMU makes its sockets as it starts); LaneError after
    `timeout` seconds or once stop() is true."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)

    def connected():
        try:
            sock.connect(path)
            return True
        except (FileNotFoundError, ConnectionRefusedError):
            return False

    if not wait_until(connected, timeout, stop=stop):
        sock.close()
        raise LaneError(f"no {what} on {path}")
    return sock


def close_socket(sock):
    """Shuts the connection down, so that a thread reading it sees its end,
    and closes it; one closed already is left as it is."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    sock.close()


def json_line(line):
    try:
        message = json.loads(line)
    except ValueError:
        return {"unreadable": line}
    return message if isinstance(message, dict) else {"unreadable": line}


class Qmp:
    """A client of QEMU's monitor protocol over a unix socket: commands are
    answered in order of their ids, events are kept for wait_event."""

    def __init__(self, path, timeout=60, stop=None):
        self._socket = connect_unix(path, timeout, stop, "monitor")
        self._messages = Stream(self._socket.makefile("rb"), json_line)
        self._sent = 0
        self._lock = threading.Lock()
        if not self._messages.wait(lambda ms: any("QMP" in m for m in ms), timeout):
            raise LaneError("the monitor did not greet")
        self.execute("qmp_capabilities", timeout=timeout)

    def execute(self, command, arguments=None, timeout=60):
        """The command's return value; QmpError when QEMU answers with an
        error, LaneError when it does not answer within `timeout` seconds."""
        with self._lock:
            self._sent += 1
            ident = f"q{self._sent}"
            request = {"execute": command, "id": ident}
            if arguments is not None:
                request["arguments"] = arguments
            try:
                self._socket.sendall(json.dumps(request).encode() + b"\n")
            except OSError as e:
                raise LaneError(f"the monitor went away ({command}: {e})") from e

        def reply(messages):
            return next((m for m in messages if m.get("id") == ident), None)

        answer = self._messages.wait(reply, timeout)
        if answer is None and self._messages.ended():
            raise LaneError(f"the monitor closed before it answered {command}")
        if answer is None:
            raise LaneError(f"the monitor did not answer {command} within {timeout} s")
        if "error" in answer:
            raise QmpError(f"{command}: {answer['error'].get('desc', answer['error'])}")
        return answer.get("return")

    def wait_event(self, name, timeout, **data):
        """The first event `name` whose data holds `data`; None after `timeout`."""

        def event(messages):
            return next((m for m in messages if m.get("event") == name and
                         all(m.get("data", {}).get(k) == v for k, v in data.items())), None)

        return self._messages.wait(event, timeout)

    def close(self):
        close_socket(self._socket)


def option(kind, **properties):
    """One QEMU option value, 'kind,key=value,...': a comma in a value is
    doubled, as QEMU reads it."""
    parts = [kind] + [f"{k}={v}" for k, v in properties.items()]
    return ",".join(part.replace(",", ",,") for part in parts)


def console_lines(prefix):
    """A Stream parser keeping the guest's own lines: those starting with
    `prefix` (firmware and kernel share the console), without it."""
    return lambda line: line[len(prefix):] if line.startswith(prefix) else None


class Qemu:
    """A QEMU process from an argument list (machine, kernel, disks, devices),
    its monitor on a unix socket in `work` and its serial console read line
    by line, the guest's lines being those that start with `prefix`.
    console.log and qemu.log in `work` keep everything."""

    def __init__(self, argv, work, prefix, start_timeout=60):
        self.work = work
        self._ids = 0
        qmp_path = os.path.join(work, "qmp.sock")
        # A QEMU before this one in the same folder (killed, as a power cut)
        # left its socket: the monitor to connect to is this QEMU's.
        if os.path.exists(qmp_path):
            os.remove(qmp_path)
        command = list(argv) + ["-display", "none", "-monitor", "none", "-serial", "stdio",
                                "-qmp", option(f"unix:{qmp_path}", server="on", wait="off")]
        self._console_log = open(os.path.join(work, "console.log"), "ab")
        self._qemu_log = open(os.path.join(work, "qemu.log"), "ab")
        try:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=self._qemu_log)
        except OSError as e:
            self._close_logs()
            raise LaneError(f"cannot start {argv[0]}: {e}") from e
        self.console = Stream(self.process.stdout, console_lines(prefix), self._console_log)
        try:
            self.qmp = Qmp(qmp_path, start_timeout, stop=self.ended)
        except LaneError:
            self.close()
            raise LaneError(f"QEMU did not start: {self.log_tail()}") from None

    def ended(self):
        return self.process.poll() is not None

    def new_id(self, kind):
        """A device or chardev id not used before in this QEMU."""
        self._ids += 1
        return f"{kind}{self._ids}"

    def wait(self, timeout):
        """QEMU's exit status once it has ended, None if it runs on."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        """Ends QEMU at once, as a power cut would: nothing is flushed."""
        if not self.ended():
            self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def close(self):
        """Ends QEMU if it still runs (killed) and lets go of its monitor,
        console and logs."""
        self.kill()
        if hasattr(self, "qmp"):
            self.qmp.close()
        self.console.join(5)
        self._close_logs()

    def _close_logs(self):
        self._console_log.close()
        self._qemu_log.close()

    def log_tail(self, lines=20):
        return tail(os.path.join(self.work, "qemu.log"), lines)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def tail(path, lines=20):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


class Board:
    """A usbredir device server (argv: the program and its options; the
    socket's path is added last) in a process of its own, listening on a
    unix socket, plugged into a QEMU's USB bus and pulled out through QMP.
    Use it as a context manager: pulled out and ended on exit."""

    def __init__(self, qemu, argv, socket_path, env, log):
        self.qemu = qemu
        self.socket = socket_path
        self.log = log
        self.status = None
        self.device = None
        with open(log, "ab") as err:
            self.process = subprocess.Popen(list(argv) + [socket_path], env=env,
                                            stdin=subprocess.DEVNULL, stdout=err, stderr=err)
        if not wait_until(lambda: os.path.exists(socket_path), 30,
                          stop=lambda: self.process.poll() is not None):
            self.process.kill()
            self.process.wait()
            raise LaneError(f"a board did not listen on {socket_path}: {tail(log)}")

    def plug(self, bus, port):
        """On `bus` (a QEMU USB bus, "hc.0") at `port` ("1", or "2.3" behind a hub)."""
        chardev = self.qemu.new_id("chardev")
        device = self.qemu.new_id("redir")
        self.qemu.qmp.execute("chardev-add", {"id": chardev, "backend": {
            "type": "socket", "data": {"server": False, "addr": {
                "type": "unix", "data": {"path": self.socket}}}}})
        self.qemu.qmp.execute("device_add", {"driver": "usb-redir", "chardev": chardev,
                                             "id": device, "bus": bus, "port": port})
        self.device = device
        return self

    def pull(self, timeout=60):
        """device_del, which takes the chardev with it: the board's process
        sees the connection close, writes its state and ends. Its exit status."""
        if self.device is not None:
            device, self.device = self.device, None
            try:
                self.qemu.qmp.execute("device_del", {"id": device})
                deleted = self.qemu.qmp.wait_event("DEVICE_DELETED", timeout, device=device)
            except LaneError:
                deleted = None
            # A QEMU that ends (a guest that powers off as the board is
            # pulled, a power cut) closes every board's connection itself.
            if not deleted and self.qemu.wait(timeout) is None:
                raise LaneError(f"QEMU did not pull out {device}")
        return self.end(timeout)

    def end(self, timeout=60):
        """The process's exit status once it has ended by itself (killed
        after `timeout` seconds: then LaneError)."""
        if self.status is None:
            try:
                self.status = self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                raise LaneError(f"a board's process did not end: {tail(self.log)}") from None
        return self.status

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            try:
                if self.device is not None and not self.qemu.ended():
                    self.pull(10)
            except LaneError:
                pass
            if self.process.poll() is None:
                self.process.kill()
            self.process.wait()


class Tap:
    """The lane's TAP output: one "ok N - ..." or "not ok N - ..." per check,
    "# " comments, the plan at the end."""

    def __init__(self, out=sys.stdout):
        self.out = out
        self.count = 0
        self.failed = 0

    def check(self, description, held, details=()):
        """Prints the check's line (with `details`, lines saying what differed,
        as comments when it failed); returns whether it held."""
        self.count += 1
        held = bool(held)
        if not held:
            self.failed += 1
        self._print(f"{'ok' if held else 'not ok'} {self.count} - {description}")
        if not held:
            for line in details:
                self._print(f"#   {line}")
        return held

    def note(self, text):
        for line in str(text).splitlines() or [""]:
            self._print(f"# {line}")

    def bail(self, reason):
        """The lane cannot go on: what it checked so far stands. Status 2."""
        self.note(reason)
        self._print(f"Bail out! {reason.splitlines()[0] if reason else ''}")
        return 2

    def finish(self):
        """The plan; 0 when every check held, 1 when one failed, 2 when none ran."""
        self._print(f"1..{self.count}")
        if self.count == 0:
            self.note("no check ran")
            return 2
        return 1 if self.failed else 0

    def _print(self, line):
        print(line, file=self.out, flush=True)


def run_lane(body, out=sys.stdout):
    """Runs body(tap) and returns the lane's exit status."""
    tap = Tap(out)
    try:
        body(tap)
    except LaneError as e:
        return tap.bail(str(e))
    return tap.finish()


# Checks: each returns the lines that say what differs (none: it holds).

def text_differs(expected, got, lines=20):
    """A unified diff of two text files, cut to `lines` lines."""
    with open(expected, encoding="utf-8", errors="replace") as a, \
            open(got, encoding="utf-8", errors="replace") as b:
        diff = difflib.unified_diff(a.readlines(), b.readlines(), expected, got)
        return [line.rstrip("\n") for line in diff][:lines]


def files_differ(expected_dir, got_dir, names):
    """The names of the files that differ between two folders (or are missing)."""
    differ = []
    for name in names:
        try:
            with open(os.path.join(expected_dir, name), "rb") as a, \
                    open(os.path.join(got_dir, name), "rb") as b:
                if a.read() != b.read():
                    differ.append(f"{name} differs ({expected_dir} {got_dir})")
        except OSError as e:
            differ.append(f"{name}: {e}")
    return differ


def lacks_line(path, line):
    """[] when `path` holds `line` whole, else what is missing."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            if line in (text.rstrip("\n") for text in f):
                return []
    except OSError as e:
        return [str(e)]
    return [f"no line '{line}' in {path}"]
