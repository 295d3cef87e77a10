"""Where mutants are built and tested: a copy of the tree and a build tree of their own.

The working tree is only ever read: a mutant is written into the copy, built and tested there,
and the copy's file put back before the next one, so that each build recompiles only what the
mutated file reaches."""

import os
import re
import shlex
import signal
import subprocess
import time

# ctest's lines for a test that did not pass, in its closing list and as each ends.
CTEST_FAILED = re.compile(r"^\s*\d+ - (\S+) \((.+)\)\s*$", re.M)
CTEST_ENDED = re.compile(r"Test\s+#\d+: (\S+) \.*\s*\*\*\*(\w[\w :]*?)\s+[\d.]+ sec")


class Mirror:
    """build/mutate/src: the working tree's files (tracked and new), kept between runs."""

    def __init__(self, root, src):
        self.root = root
        self.src = src

    def _files(self):
        done = subprocess.run(["git", "-C", self.root, "ls-files", "-z", "--cached", "--others",
                               "--exclude-standard"], capture_output=True, check=True)
        return sorted({p for p in done.stdout.decode().split("\0")
                       if p and os.path.isfile(os.path.join(self.root, p))})

    def sync(self):
        """Makes the copy the working tree's, rewriting only files that differ; returns how many."""
        files = self._files()
        changed = 0
        for rel in files:
            with open(os.path.join(self.root, rel), "rb") as f:
                data = f.read()
            target = os.path.join(self.src, rel)
            if _read(target) != data:
                self.write(rel, data)
                os.chmod(target, os.stat(os.path.join(self.root, rel)).st_mode & 0o777)
                changed += 1
        wanted = set(files)
        for folder, _, names in os.walk(self.src):
            for name in names:
                path = os.path.join(folder, name)
                if os.path.relpath(path, self.src) not in wanted:
                    os.remove(path)
                    changed += 1
        return changed

    def path(self, rel):
        return os.path.join(self.src, rel)

    def write(self, rel, data):
        """Writes a file of the copy, its time past any it had so that a build sees it changed."""
        target = self.path(rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        try:
            before = os.stat(target).st_mtime_ns
        except OSError:
            before = 0
        with open(target, "wb") as f:
            f.write(data)
        stamp = max(time.time_ns(), before + 1_000_000)
        os.utime(target, ns=(stamp, stamp))


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


class Outcome:
    def __init__(self, code, output, timed_out, seconds):
        self.code = code
        self.output = output
        self.timed_out = timed_out
        self.seconds = seconds

    @property
    def ok(self):
        return self.code == 0 and not self.timed_out

    def failed_tests(self):
        """The tests ctest said did not pass, with how (Failed, Timeout, SegFault...)."""
        found = [(m.group(1), m.group(2)) for m in CTEST_FAILED.finditer(self.output)]
        if not found:
            found = [(m.group(1), m.group(2).strip()) for m in CTEST_ENDED.finditer(self.output)]
        return found

    def tail(self, lines=15):
        return "\n".join(self.output.rstrip().split("\n")[-lines:])


def run(command, cwd, log_path, limit=None, strays_under=None):
    """Runs a shell command, its output to log_path; past limit seconds its processes are killed.

    A test may start processes in sessions of their own: those still running from a program or
    folder under strays_under when the command is killed are killed too (they can only be ours)."""
    begun = time.monotonic()
    with open(log_path, "w+b") as log:
        process = subprocess.Popen(command, shell=True, cwd=cwd, stdout=log,
                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   start_new_session=True)
        timed_out = False
        try:
            code = process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            timed_out = True
            _kill_group(process.pid)
            code = process.wait()
        except BaseException:
            # Stopped (Ctrl-C, SIGTERM): the command's session gets no signal of its own.
            _kill_group(process.pid)
            if strays_under:
                kill_strays(strays_under)
            raise
        if strays_under:
            kill_strays(strays_under)
        log.seek(0)
        output = log.read().decode("utf-8", "replace")
    return Outcome(code, output, timed_out, time.monotonic() - begun)


def _kill_group(pid):
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def kill_strays(folder):
    """Kills the processes whose program, command line or folder lies under folder."""
    folder = os.path.realpath(folder)
    mine = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == mine:
            continue
        try:
            exe = os.path.realpath("/proc/%s/exe" % entry)
            cwd = os.path.realpath("/proc/%s/cwd" % entry)
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read().decode("utf-8", "replace")
        except OSError:
            continue
        if any(p == folder or p.startswith(folder + "/") for p in (exe, cwd)) or \
                (folder + "/") in cmdline:
            try:
                os.kill(int(entry), signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass


def expand(template, **values):
    """The command template with {src}, {build}... replaced by their quoted values."""
    return template.format(**{k: shlex.quote(v) for k, v in values.items()})
