"""Wine prefixes: one template per test run, copied for each machine.

A run's machines are of one kind: WoW64 machines (a 64-bit Windows that runs
the 32-bit patch through WoW64, the default) or 32-bit machines (a 32-bit
Windows), as KESTOVA_WINE_ARCH says: "win64" or "win32".

Creating a prefix takes about half a minute, copying one a second or two,
so every machine of a run starts as a copy of the same template.
"""

import fcntl
import os
import shutil
import signal
import subprocess
from pathlib import Path

# Wine's first-run installers of Mono and Gecko would stop wineboot with a
# dialog, and its menu builder would write desktop entries into $HOME.
WINE_DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

# Large PE files under drive_c/windows that Wine only ever reads: a machine
# shares them with the template through hard links instead of copying them.
# Everything else (registry files, .ini files, user folders) is copied.
# Changes whenever the template is set up differently, so that an older
# template left in a work folder is made anew.
_TEMPLATE_LAYOUT = "layout 2: unmanaged windows"

WINE_ARCH = os.environ.get("KESTOVA_WINE_ARCH", "win64")
if WINE_ARCH not in ("win64", "win32"):
    raise ValueError("KESTOVA_WINE_ARCH must be win64 or win32, not %r" % WINE_ARCH)
IS_WOW64 = WINE_ARCH == "win64"
# The folder of the system files that a 32-bit program loads.
SYSTEM32_FOR_32BIT = r"C:\windows\syswow64" if IS_WOW64 else r"C:\windows\system32"
# Wine's 64-bit loader: on a WoW64 machine Wine's own 64-bit programs run
# through it natively, where "wine" would run their 32-bit builds (through
# an emulator on some hosts). None on a 32-bit machine or without it.
NATIVE_LOADER = (shutil.which("wine64") or ("/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64")
                                            else None)) if IS_WOW64 else None

_SHARED_SUFFIXES = {".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".ax", ".tlb", ".nls"}


def wine_environment(prefix, display):
    env = dict(os.environ)
    env.update(
        WINEPREFIX=str(prefix),
        WINEARCH=WINE_ARCH,
        WINEDEBUG="-all",
        WINEDLLOVERRIDES=WINE_DLL_OVERRIDES,
        DISPLAY=display,
        LC_ALL="C.UTF-8",
    )
    return env


class WineUnavailable(RuntimeError):
    """Wine is missing or cannot start its programs on this host."""


def wine_version():
    try:
        result = subprocess.run(["wine", "--version"], capture_output=True, text=True)
    except OSError as error:
        raise WineUnavailable("wine cannot be started (%s): run scripts/install-deps.sh" % error) from None
    if result.returncode != 0:
        # 126 is the shell's "cannot execute": the kernel refused Wine's
        # 32-bit loader ("Exec format error").
        raise WineUnavailable(
            "'wine --version' failed with exit status %d (%s). Wine's 32-bit loader is a 32-bit Linux "
            "program; where the kernel refuses those, scripts/install-deps.sh (as root) has them run "
            "through qemu-i386" % (result.returncode, (result.stderr or result.stdout).strip() or "no output"))
    return result.stdout.strip()


def stop_wineserver(env, timeout=60):
    """Ends the prefix's wineserver and every Windows process in it, and waits
    until the server has written the registry back to disk."""
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, timeout=timeout, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def _prefix_pids(prefix):
    """The ids of the processes whose environment names PREFIX."""
    wanted = b"WINEPREFIX=" + os.fsencode(str(prefix)) + b"\0"
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if wanted in b"\0" + environ.read():
                    pids.append(int(entry))
        except OSError:
            continue
    return pids


def describe_prefix_processes(prefix):
    """One line per process of PREFIX: its id, state, what it waits for in
    the kernel, its threads' states and its command line; for the report of
    a harness step that did not end in time."""
    lines = []
    for pid in sorted(_prefix_pids(prefix)):
        try:
            with open("/proc/%d/stat" % pid) as stat:
                state = stat.read().rsplit(")", 1)[1].split()[0]
            with open("/proc/%d/wchan" % pid) as wchan:
                waits = wchan.read().strip() or "-"
            with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
                command = cmdline.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
            threads = []
            for tid in sorted(os.listdir("/proc/%d/task" % pid), key=int):
                with open("/proc/%d/task/%s/stat" % (pid, tid)) as stat:
                    threads.append(stat.read().rsplit(")", 1)[1].split()[0])
        except OSError:
            continue
        lines.append("%d %s wchan=%s threads=%s %s" % (pid, state, waits, "".join(threads), command[:160]))
    return lines


def kill_prefix_processes(prefix):
    """Sends SIGKILL to every process of the prefix (its wineserver first,
    then the Windows programs), found by the WINEPREFIX in their
    environment; returns how many there were."""
    servers, others = [], []
    for pid in _prefix_pids(prefix):
        try:
            with open("/proc/%d/comm" % pid) as comm:
                name = comm.read().strip()
        except OSError:
            continue
        (servers if name.startswith("wineserver") else others).append(pid)
    for pid in servers + others:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return len(servers) + len(others)


class Template:
    """The prefix that every machine of a run is copied from, kept in
    WORK_DIR/template. It is made once; several processes (CTest's tests)
    may ask for it at the same time, so making it holds a lock."""

    def __init__(self, work_dir):
        self.work_dir = Path(work_dir)
        self.prefix = self.work_dir / "template" / "prefix"
        self._ready = self.work_dir / "template" / "ready"

    def ensure(self, display):
        self.work_dir.mkdir(parents=True, exist_ok=True)
        with open(self.work_dir / "template.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            version = "%s %s %s" % (wine_version(), WINE_ARCH, _TEMPLATE_LAYOUT)
            if self._ready.exists() and self._ready.read_text() == version:
                return self.prefix
            self._create(display)
            self._ready.write_text(version)
        return self.prefix

    def _create(self, display):
        shutil.rmtree(self.prefix.parent, ignore_errors=True)
        self.prefix.parent.mkdir(parents=True)
        env = wine_environment(self.prefix, display)
        subprocess.run(["wineboot", "-i"], env=env, timeout=600, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # Without a window manager on the display, Wine waits two seconds for
        # every managed window that closes; unmanaged windows close at once.
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
                       env=env, timeout=120, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        stop_wineserver(env, timeout=300)
        if not (self.prefix / "system.reg").exists():
            raise RuntimeError("wineboot did not create a prefix in " + str(self.prefix))


def _is_shared(relative):
    parts = relative.parts
    return (len(parts) > 2 and parts[0] == "drive_c" and parts[1].lower() == "windows"
            and relative.suffix.lower() in _SHARED_SUFFIXES)


def _link_or_copy(source, destination):
    try:
        os.link(source, destination)
    except OSError:
        shutil.copy2(source, destination)


def copy_prefix(template, destination):
    """Makes DESTINATION a prefix of its own with the template's content."""
    template = Path(template)
    destination = Path(destination)
    for directory, subdirectories, files in os.walk(template):
        source_dir = Path(directory)
        relative_dir = source_dir.relative_to(template)
        target_dir = destination / relative_dir
        target_dir.mkdir(parents=True, exist_ok=True)
        shutil.copystat(source_dir, target_dir)
        for name in subdirectories + files:
            source = source_dir / name
            target = target_dir / name
            if source.is_symlink():
                os.symlink(os.readlink(source), target)
            elif source.is_dir():
                continue
            elif _is_shared(relative_dir / name):
                _link_or_copy(source, target)
            else:
                shutil.copy2(source, target)
        # os.walk does not descend into symbolic links to folders.
        subdirectories[:] = [d for d in subdirectories if not (source_dir / d).is_symlink()]
