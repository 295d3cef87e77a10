"""The real-USB lane: the unchanged flashprep (or flashprep-station) in a
small initramfs guest under QEMU, whose Linux kernel enumerates simulated
boards served over usbredir by flashprep-sim-usbredir on this machine.

One boot runs several cases one after the other (tools/qemu-lane/guest-init):
for each, the host plugs the case's boards in, the guest runs and reports,
the host pulls them out and the guest waits until they are gone.
"""
import contextlib
import os
import re
import shlex
import shutil
import subprocess
import time

import kernel_cache
from harness import Board, LaneError, Qemu, option, tail
from usb_cases import CONTROLLERS, Port, Result

PREFIX = "FPQ:"
# The guest's programs' architecture chooses the guest (the ELF header's machine).
ELF_MACHINES = {62: "amd64", 183: "arm64"}
# A case's limit: a whole run on the slowest port takes about a minute.
CASE_SECONDS = float(os.environ.get("FLASHPREP_QEMU_TIMEOUT", "600"))


class Lane:
    """The lane's guest, made from `build` (this machine's: the boards, the
    driver file, libusb-compat) and `guest_build` (the programs the guest
    runs, whose architecture chooses the guest). `env` is the environment
    the boards start from; `work` a folder of the lane's own."""

    def __init__(self, root, build, guest_build, libusb, work, env):
        self.root = root
        self.build = build
        self.guest_build = guest_build
        self.libusb = libusb
        self.work = work
        self.env = env
        self.usbredir = os.path.join(build, "flashprep-sim-usbredir")
        self.compat = os.path.join(build, "libusb-compat", "libusb-0.1.so.4")
        for tool in (self.usbredir, os.path.join(build, "flashprep-make-driver")):
            if not os.access(tool, os.X_OK):
                raise LaneError(f"{tool} missing (configure with -DFLASHPREP_QEMU_LANE=ON "
                                "and build)")
        flashprep = os.path.join(guest_build, "flashprep")
        if not os.access(flashprep, os.X_OK):
            raise LaneError(f"{flashprep} missing")
        if libusb == "compat" and not os.path.exists(self.compat):
            raise LaneError(f"{self.compat} missing (configure with -DFLASHPREP_QEMU_LANE=ON "
                            "and build)")
        with open(flashprep, "rb") as f:
            self.arch = ELF_MACHINES.get(int.from_bytes(f.read(20)[18:20], "little"))
        if self.arch is None:
            raise LaneError(f"{flashprep} is for no architecture the lane boots")

    def machine(self):
        """The guest's machine: `uname -m` in it."""
        return {"amd64": "x86_64", "arm64": "aarch64"}[self.arch]

    def install(self):
        packages = {"amd64": ["qemu-system-x86", "busybox-static"],
                    "arm64": ["qemu-system-arm", "qemu-user-static"]}[self.arch]
        if subprocess.run([os.path.join(self.root, "tools", "install-deps"), *packages, "cpio",
                           "libusbredirparser-dev"],
                          stdout=subprocess.DEVNULL).returncode != 0:
            raise LaneError("cannot install the packages the lane needs")

    def boot(self, cases, report):
        """Boots the guest and runs `cases` in it, one after the other, calling
        report(k, result) as each one ends. LaneError when the guest cannot
        go on."""
        if self.arch == "arm64":
            if any(c.port.controller != "xhci" for c in cases) or self.libusb != "legacy":
                raise LaneError("an arm64 guest has xhci ports and libusb 0.1 (legacy) only")
            foreign = subprocess.run(["dpkg", "--print-foreign-architectures"],
                                     capture_output=True, text=True).stdout.split()
            if "arm64" not in foreign:
                raise LaneError("apt knows no arm64 packages (tools/install-deps-arm64 adds them)")
        self.install()
        kernel = kernel_cache.kernel(self.arch)
        initramfs = self.initramfs(kernel, cases)
        with Qemu(self.qemu_argv(kernel, initramfs, cases), self.work, PREFIX) as qemu:
            seen = 0
            for k, case in enumerate(cases, 1):
                result, seen = self.run_case(qemu, k, case, seen)
                report(k, result)
            if not qemu.console.wait(lambda ls: "finished" in ls[seen:], 60):
                raise LaneError(self.explain(qemu, "the guest did not finish"))
            if qemu.wait(60) is None:
                raise LaneError(self.explain(qemu, "the guest did not power off"))

    def qemu_argv(self, kernel, initramfs, cases):
        if self.arch == "amd64":
            machine = ["qemu-system-x86_64", "-machine", "pc,accel=tcg", "-cpu", "max"]
            console = "ttyS0"
        else:
            # A plain ARMv8.0 core: "max" adds every later extension for TCG
            # to emulate, none of which the lane needs.
            machine = ["qemu-system-aarch64", "-machine", "virt,accel=tcg", "-cpu", "cortex-a57"]
            console = "ttyAMA0"
        argv = machine + ["-smp", "1", "-m", "256M", "-nodefaults", "-no-reboot",
                          "-kernel", kernel.image, "-initrd", initramfs,
                          "-append", f"console={console} quiet loglevel=1 panic=-1"]
        for controller in sorted({c.port.controller for c in cases}):
            for device in CONTROLLERS[controller].devices:
                argv += ["-device", device]
            argv += hub_devices(controller, [c.port for c in cases])
        return argv

    def initramfs(self, kernel, cases):
        """The guest's whole file system: busybox, the modules, the programs
        with every library they load (at the same paths), the driver file,
        /init and each case's settings."""
        image = os.path.join(self.work, "root")
        shutil.rmtree(image, ignore_errors=True)
        for folder in ("bin", "lib/modules", "etc/lane", "work", "tmp", "proc", "sys", "dev"):
            os.makedirs(os.path.join(image, folder))
        copy(kernel.busybox, image, "/bin/busybox")
        controllers = {c.port.controller for c in cases}
        wanted = {"usb-common", "usbcore"} | {
            m for c in controllers for m in CONTROLLERS[c].modules}
        modules = [m for m in kernel_cache.MODULES if m in wanted]
        for m in modules:
            copy(kernel.module(m), image, f"/lib/modules/{m}.ko")
        programs = ["flashprep"] + (["flashprep-station"] if any(c.boards for c in cases) else [])
        for program in programs:
            path = os.path.join(self.guest_build, program)
            if not os.access(path, os.X_OK):
                raise LaneError(f"{path} missing")
            copy(path, image, "/bin/" + program)
            self.copy_libraries(path, image)
        if self.libusb == "compat":
            # libusb-compat under the name and at the path where the loader
            # finds Debian's libusb 0.1 for the unchanged flashprep.
            listed = self.libraries(os.path.join(self.guest_build, "flashprep"))
            found = re.search(r"libusb-0\.1\.so\.4 => (\S+)", listed)
            if not found:
                raise LaneError("flashprep does not load libusb-0.1.so.4")
            self.copy_libraries(self.compat, image)
            copy(self.compat, image, found.group(1))
        if subprocess.run([os.path.join(self.build, "flashprep-make-driver"),
                           os.path.join(image, "work", "serial_flash.S19")]).returncode != 0:
            raise LaneError("cannot make the driver file")
        copy(os.path.join(self.root, "tools", "qemu-lane", "guest-init"), image, "/init")
        os.chmod(os.path.join(image, "init"), 0o755)
        write_conf(os.path.join(image, "etc", "lane.conf"),
                   {"MODULES": " ".join(modules), "CASES": len(cases)})
        for k, case in enumerate(cases, 1):
            write_conf(os.path.join(image, "etc", "lane", f"{k}.conf"), self.case_conf(case))
        files = [os.path.relpath(os.path.join(d, n), image)
                 for d, dirs, names in os.walk(image) for n in dirs + names]
        cpio = os.path.join(self.work, "initramfs.cpio")
        with open(cpio, "wb") as out:
            made = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=image,
                                  input="\n".join(files).encode(), stdout=out)
        if made.returncode != 0:
            raise LaneError("cannot make the initramfs")
        return cpio

    def libraries(self, binary):
        """The loader's list of what `binary` loads (ldd, or the guest
        architecture's loader under qemu-user)."""
        if self.arch == "amd64":
            command, env = ["ldd", binary], None
        else:
            command = ["qemu-aarch64-static", binary]
            env = dict(os.environ, LD_TRACE_LOADED_OBJECTS="1")
        listed = subprocess.run(command, capture_output=True, text=True, env=env)
        if listed.returncode != 0:
            raise LaneError(f"cannot list the libraries of {binary}")
        return listed.stdout

    def copy_libraries(self, binary, image):
        for path in re.findall(r"(/\S+)", self.libraries(binary)):
            copy(path, image, path)

    def board_env(self, settings, name=None, case=None):
        env = {k: v for k, v in self.env.items()
               if name is None or k not in ("FLASHPREP_SIM_FLASH", "FLASHPREP_SIM_TRACE")}
        env.update(settings)
        env["FLASHPREP_SIM_STATE"] = case.state(name)
        # The board writes its state there, into a folder that must exist.
        os.makedirs(os.path.dirname(env["FLASHPREP_SIM_STATE"]), exist_ok=True)
        return env

    def device_id(self, env):
        found = subprocess.run([self.usbredir, "--device-id"], env=env, capture_output=True,
                               text=True)
        if found.returncode != 0:
            raise LaneError(f"the board cannot serve this scenario: {found.stderr.strip()}")
        return found.stdout.strip()

    def case_conf(self, case):
        if case.boards and len(case.boards) > case.port.capacity():
            raise LaneError(f"{len(case.boards)} boards on {case.port.name}, which has ports "
                            f"for {case.port.capacity()}")
        if case.boards:
            ids = [self.device_id(self.board_env(case.boards[n], n, case))
                   for n in case.board_names()]
            board_id = ids[-1]
        else:
            board_id = self.device_id(self.board_env(case.settings, case=case))
        conf = {"RUNS": case.runs, "BOARD_ID": board_id,
                # A board is plugged in once the case has begun; no board at
                # all (an empty port) is given 2 s to show that it is none.
                "WAIT": 120 if board_id else 2,
                "BOARDS": len(case.boards) if case.boards else 1,
                "STATION": int(bool(case.boards)), "SECOND": int(case.second)}
        if case.interrupt:
            conf.update(INTERRUPT_RUN=case.interrupt[0], INTERRUPT_AFTER=case.interrupt[1])
        if case.plan is not None:
            # The plan plugs the boards: nothing to wait for at the start.
            plugs = sum(1 for step in case.plan if step.split()[:1] == ["plug"])
            conf.update(WATCH=1, BOARDS=0, EXPECT=plugs, MARK=case.mark)
        return conf

    def run_case(self, qemu, k, case, seen):
        """Case k from its boards' plugging to their pulling out; its Result
        and the index of the console line after it."""
        begun = self.wait_line(qemu, seen, f"case {k}", 120)
        os.makedirs(case.folder, exist_ok=True)
        steps, plan_error = [], None
        with contextlib.ExitStack() as stack:
            boards = []

            def plug(name, k_port, flash=None):
                settings = case.boards[name] if name else case.settings
                env = self.board_env(settings, name, case)
                os.makedirs(env["FLASHPREP_SIM_STATE"], exist_ok=True)
                if flash and "FLASHPREP_SIM_FLASH" not in settings:
                    env["FLASHPREP_SIM_FLASH"] = os.path.join(env["FLASHPREP_SIM_STATE"],
                                                              "flash.bin")
                n = len(boards) + 1
                board = stack.enter_context(Board(
                    qemu, [self.usbredir], os.path.join(self.work, f"case{k}-board{n}.sock"), env,
                    os.path.join(self.work, f"case{k}-board{n}-{name or 'lane'}.log")))
                boards.append(board)
                return board.plug(case.port.controller + ".0", case.port.usb_port(k_port))

            if case.plan is not None:
                self.wait_line(qemu, begun, "watching", 120)
                steps, plan_error = self.run_plan(qemu, case, begun, plug)
            elif case.boards:
                for n, name in enumerate(case.board_names(), 1):
                    plug(name, n)
            else:
                plug(None, 1)
            done = self.wait_line(qemu, begun, "done", CASE_SECONDS)
            statuses = [board.pull() for board in boards]
            after = self.wait_line(qemu, done, "clear", 150)
        lines = qemu.console.items()
        return Result(case, lines[begun + 1:done], statuses, steps, plan_error,
                      lines[:lines.index("case 1")]), after + 1

    def run_plan(self, qemu, case, begun, plug):
        """The plan's steps, in order, while the station watches:
             plug NAME         a new board process for NAME, plugged on its hub
                               port (its flash kept from plug to plug)
             unplug NAME       that board pulled out
             wait N WORD NAME  until the station's N-th line WORD for NAME's port
                               (for MARK: N of NAME's logs hold the mark line)
        Returns ["MS STEP", ...] (host time since the station began
        watching) and the step that could not be done, or None."""
        names = case.board_names()
        plugged = {}
        steps = []
        started = time.monotonic()
        for step in case.plan:
            words = step.split()
            if not words or words[0].startswith("#"):
                continue
            verb, name = words[0], words[-1]
            done = name in names
            if done and verb == "plug":
                plugged[name] = plug(name, names.index(name) + 1, flash=True)
            elif done and verb == "unplug" and name in plugged:
                plugged.pop(name).pull()
            elif done and verb == "wait" and len(words) == 4:
                pattern = re.compile(rf"live {re.escape(words[2])} "
                                     rf"{case.port.guest_name(names.index(name) + 1)}( |$)")
                count = int(words[1])
                done = qemu.console.wait(
                    lambda ls: sum(1 for line in ls[begun:] if pattern.match(line)) >= count,
                    300) is not None
            else:
                done = False
            if not done:
                return steps, step
            steps.append(f"{int((time.monotonic() - started) * 1000)} {step}")
        return steps, None

    def wait_line(self, qemu, start, line, seconds):
        """The index of the first console line `line` from `start` on."""

        def found(lines):
            return next((i + 1 for i in range(start, len(lines)) if lines[i] == line), None)

        index = qemu.console.wait(found, seconds)
        if index is None:
            raise LaneError(self.explain(qemu, f"no '{line}' from the guest within {seconds} s"))
        return index - 1

    def explain(self, qemu, what):
        logs = sorted(f for f in os.listdir(self.work) if f.endswith(".log"))
        text = [what, "--- the guest's lines, last ones:"] + qemu.console.items()[-20:]
        for log in logs:
            text += [f"--- {log}:", tail(os.path.join(self.work, log), 10).rstrip("\n")]
        return "\n".join(text)


def hub_devices(controller, ports):
    """The -device options of the hubs that `ports` (a boot's) need on
    `controller`. A boot cannot have boards behind one tier and behind two:
    port 2.1 would hold a board and a hub."""
    tiers = {p.hubs for p in ports if p.controller == controller and p.hubs}
    if len(tiers) > 1:
        raise LaneError(f"one boot cannot have {controller} ports behind one tier of hubs "
                        "and behind two")
    return [arg for port in Port(controller, max(tiers, default=0)).hub_ports()
            for arg in ("-device", option("usb-hub", bus=controller + ".0", port=port))]


def copy(source, image, path):
    """`source` (links followed) into the guest's file system at `path`."""
    target = os.path.join(image, path.lstrip("/"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copy(source, target)


def write_conf(path, values):
    """Shell assignments the guest sources, each value quoted for it."""
    with open(path, "w") as f:
        f.writelines(f"{k}={shlex.quote(str(v))}\n" for k, v in values.items())
