"""Debian's 6.1 kernel for the real-USB lane's guest, downloaded and unpacked
once into a cache: the kernel (uncompressed where that spares the emulated
CPU its decompression) and the USB modules of every port the lane offers; and
for a guest of another architecture than this machine's, its busybox.
"""
import fcntl
import glob
import lzma
import os
import re
import shutil
import subprocess
import tarfile

from harness import LaneError

# Every USB module the lane loads, in the order they must be loaded: EHCI
# before its companions, as the kernel asks.
MODULES = ["usb-common", "usbcore", "ehci-hcd", "ehci-pci", "uhci-hcd", "ohci-hcd", "ohci-pci",
           "xhci-hcd", "xhci-pci"]
# An arm64 guest has xHCI ports only.
ARCH_MODULES = {"amd64": MODULES, "arm64": ["usb-common", "usbcore", "xhci-hcd", "xhci-pci"]}


def cache_root():
    return os.environ.get("FLASHPREP_QEMU_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "flashprep-qemu")


def host_arch():
    return subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                          check=True).stdout.strip()


class Kernel:
    """The unpacked kernel of one architecture: `image` (the file QEMU
    boots), `module(name)` (a module's file) and `busybox` (the guest's)."""

    def __init__(self, folder, busybox):
        self.folder = folder
        self.busybox = busybox
        vmlinux = os.path.join(folder, "vmlinux")
        self.image = vmlinux if os.path.exists(vmlinux) else os.path.join(folder, "vmlinuz")

    def module(self, name):
        return os.path.join(self.folder, "modules", name + ".ko")


def kernel(arch):
    """The cached kernel of `arch`, fetched first if need be. Lanes started
    together download it once (a lock in the cache)."""
    cache = cache_root()
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        qualifier = "" if arch == host_arch() else ":" + arch
        deb = latest_deb(cache, arch) or download_kernel(cache, arch, qualifier)
        version = re.match(r"linux-image-(6\.1\.0-\d+-\w+)_", os.path.basename(deb)).group(1)
        folder = os.path.join(cache, version)
        if not complete(folder, arch):
            unpack_kernel(deb, version, folder, arch)
        busybox = "/bin/busybox"
        if qualifier:
            busybox = foreign_busybox(cache, arch, qualifier)
        return Kernel(folder, busybox)


def latest_deb(cache, arch):
    debs = glob.glob(os.path.join(cache, f"linux-image-6.1.0-*-{arch}_*.deb"))

    def abi(path):
        return int(re.search(r"6\.1\.0-(\d+)-", os.path.basename(path)).group(1)), path

    return max(debs, key=abi) if debs else None


def download_kernel(cache, arch, qualifier):
    def package():
        listed = subprocess.run(["apt-cache", "depends", f"linux-image-{arch}{qualifier}"],
                                capture_output=True, text=True).stdout
        found = re.search(rf"^\s*Depends: (linux-image-6\.1\.0-\d+-{arch})({qualifier})?$",
                          listed, re.M)
        return found.group(1) if found else None

    name = package()
    if not name:
        subprocess.run(["apt-get", "update", "-qq"], stdout=subprocess.DEVNULL)
        name = package()
    if not name:
        raise LaneError(f"apt knows no linux-image-6.1.0-*-{arch} package")
    if subprocess.run(["apt-get", "download", name + qualifier], cwd=cache,
                      stdout=subprocess.DEVNULL).returncode != 0:
        raise LaneError(f"cannot download {name}")
    return latest_deb(cache, arch)


def complete(folder, arch):
    return os.path.exists(os.path.join(folder, "complete")) and all(
        os.path.exists(os.path.join(folder, "modules", m + ".ko")) for m in ARCH_MODULES[arch])


def extract(deb, wanted):
    """{member: bytes} of the members of a package's file tree that are in `wanted`."""
    unpack = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
    found = {}
    with tarfile.open(fileobj=unpack.stdout, mode="r|") as tree:
        for member in tree:
            if member.name in wanted and member.isfile():
                found[member.name] = tree.extractfile(member).read()
    unpack.stdout.close()
    if unpack.wait() != 0 or len(found) != len(wanted):
        raise LaneError(f"cannot unpack {deb}: missing {sorted(set(wanted) - set(found))}")
    return found


def unpack_kernel(deb, version, folder, arch):
    part = folder + ".part"
    shutil.rmtree(folder, ignore_errors=True)
    shutil.rmtree(part, ignore_errors=True)
    os.makedirs(os.path.join(part, "modules"))
    directory = {"usb-common": "common", "usbcore": "core"}
    members = {f"./lib/modules/{version}/kernel/drivers/usb/{directory.get(m, 'host')}/{m}.ko": m
               for m in ARCH_MODULES[arch]}
    vmlinuz = f"./boot/vmlinuz-{version}"
    found = extract(deb, set(members) | {vmlinuz})
    for member, module in members.items():
        with open(os.path.join(part, "modules", module + ".ko"), "wb") as f:
            f.write(found[member])
    image = found[vmlinuz]
    # QEMU boots an uncompressed x86 kernel through its PVH entry, which
    # spares the emulated CPU some 4 s of decompression at every boot.
    # (Debian's arm64 vmlinuz is an uncompressed Image already.)
    inner = uncompressed(image) if arch == "amd64" else None
    with open(os.path.join(part, "vmlinux" if inner else "vmlinuz"), "wb") as f:
        f.write(inner or image)
    open(os.path.join(part, "complete"), "w").close()
    os.rename(part, folder)


def uncompressed(bzimage):
    """The ELF kernel inside a bzImage's xz stream, or None."""
    start = bzimage.find(b"\xfd7zXZ\x00")
    if start < 0:
        return None
    try:
        inner = lzma.LZMADecompressor(lzma.FORMAT_XZ).decompress(bzimage[start:])
    except lzma.LZMAError:
        return None
    return inner if inner.startswith(b"\x7fELF") else None


def foreign_busybox(cache, arch, qualifier):
    """busybox-static of another architecture cannot be installed beside
    this machine's own: its binary is taken out of the package."""
    folder = os.path.join(cache, f"busybox-{arch}")
    busybox = os.path.join(folder, "busybox")
    if os.access(busybox, os.X_OK):
        return busybox
    part = folder + ".part"
    shutil.rmtree(part, ignore_errors=True)
    os.makedirs(part)
    if subprocess.run(["apt-get", "download", "busybox-static" + qualifier], cwd=part,
                      stdout=subprocess.DEVNULL).returncode != 0:
        raise LaneError(f"cannot download busybox-static{qualifier}")
    deb = glob.glob(os.path.join(part, "busybox-static_*.deb"))[0]
    binary = extract(deb, {"./bin/busybox"})["./bin/busybox"]
    os.remove(deb)
    with open(os.path.join(part, "busybox"), "wb") as f:
        f.write(binary)
    os.chmod(os.path.join(part, "busybox"), 0o755)
    shutil.rmtree(folder, ignore_errors=True)
    os.rename(part, folder)
    return busybox
