"""Boards' settings, and their runs alone: the scenario of a board on the
preloaded board of this machine's build (flashprep-sim flashprep,
in-process), the reference a lane's run through another stack must equal.
"""
import os
import signal
import subprocess

from harness import LaneError, wait_until


def clean_env():
    """This process's environment without a board's settings: a lane's
    boards are what their settings say, whatever the caller's shell holds."""
    return {k: v for k, v in os.environ.items() if not k.startswith("FLASHPREP_SIM_")}


def read_board_file(path):
    """The settings of a board file (FLASHPREP_SIM_NAME=VALUE lines, as
    FLASHPREP_SIM_BOARDS reads them; blank lines and # comments skipped)."""
    settings = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            name, equals, value = line.partition("=")
            if name in ("FLASHPREP_SIM_BOARD", "FLASHPREP_SIM_BOARDS"):
                raise LaneError(f"{path}: {name} cannot be set for one board")
            if not equals or not name.startswith("FLASHPREP_SIM_"):
                raise LaneError(f"{path}: not FLASHPREP_SIM_NAME=VALUE: {line}")
            settings[name] = value
    return settings


class Alone:
    """Board `name`'s run alone in folder/NAME.dir (a new folder gets the
    sample driver file): its output in `out`, the board's state in `state`.
    With `stop_at`, a whole output line, the run is sent SIGTERM as soon as
    it has printed that line (as a service's stop reaches it)."""

    def __init__(self, build, folder, name, settings, stop_at=None):
        self.out = os.path.join(folder, name + ".out")
        self.state = os.path.join(folder, name + ".state")
        run_dir = os.path.join(folder, name + ".dir")
        if not os.path.isdir(run_dir):
            os.makedirs(run_dir)
            subprocess.run([os.path.join(build, "flashprep-make-driver"),
                            os.path.join(run_dir, "serial_flash.S19")], check=True)
        env = dict(clean_env(), **settings, FLASHPREP_SIM_STATE=self.state)
        with open(self.out, "wb") as out:
            run = subprocess.Popen([os.path.join(build, "flashprep-sim"),
                                    os.path.join(build, "flashprep")], cwd=run_dir, env=env,
                                   stdout=out)
        if stop_at is not None:
            if wait_until(lambda: stop_at in self.lines(), 600,
                          stop=lambda: run.poll() is not None):
                run.send_signal(signal.SIGTERM)
        status = run.wait()
        if stop_at is None and status != 0:
            raise LaneError(f"board {name}'s run alone failed (status {status})")

    def lines(self):
        with open(self.out, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()
